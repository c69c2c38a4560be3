#include "control/fake_smc_access.h"

#include <cstdio>
#include <sstream>

#include "common/native_control_error.h"

namespace ampervale {

namespace {

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string text;
  for (uint8_t byte : bytes) {
    char digits[4];
    std::snprintf(digits, sizeof digits, " %02x", byte);
    text += digits;
  }
  return text;
}

std::exception_ptr ControlError(std::string description) {
  return std::make_exception_ptr(NativeControlError(std::move(description)));
}

}  // namespace

void FakeSMCAccess::set(const std::string& key, std::vector<uint8_t> bytes) {
  keys_[key] = std::move(bytes);
}

void FakeSMCAccess::failRead(const std::string& key, std::string description) {
  failRead(key, ControlError(std::move(description)));
}

void FakeSMCAccess::failRead(const std::string& key, std::exception_ptr error) {
  readFaults_[key] = std::move(error);
}

void FakeSMCAccess::failWrite(const std::string& key, std::string description) {
  writeFaults_[key] = ControlError(std::move(description));
}

void FakeSMCAccess::dropWrites(const std::string& key) {
  droppedWrites_.insert(key);
}

std::string FakeSMCAccess::writtenText() const {
  std::string text;
  for (const std::string& entry : log_) {
    if (!entry.starts_with("write ")) continue;
    text += (text.empty() ? "" : ", ") + entry.substr(sizeof "write " - 1);
  }
  return text;
}

const std::vector<uint8_t>& FakeSMCAccess::existing(
    const std::string& key) const {
  auto found = keys_.find(key);
  if (found == keys_.end()) throw NativeControlError(MissingKeyText(key));
  return found->second;
}

std::vector<uint8_t> FakeSMCAccess::read(const std::string& key) {
  log_.push_back("read " + key);
  if (auto fault = readFaults_.find(key); fault != readFaults_.end()) {
    std::rethrow_exception(fault->second);
  }
  return existing(key);
}

void FakeSMCAccess::write(const std::string& key,
                          const std::vector<uint8_t>& bytes) {
  log_.push_back("write " + key + Hex(bytes));
  if (auto fault = writeFaults_.find(key); fault != writeFaults_.end()) {
    std::rethrow_exception(fault->second);
  }
  if (existing(key).size() != bytes.size()) {
    throw NativeControlError("SMC payload width mismatch for " + key);
  }
  if (droppedWrites_.contains(key)) {
    throw NativeControlError("SMC write verification failed for " + key);
  }
  keys_[key] = bytes;
}

std::string MissingKeyText(std::string_view key) {
  return "SMC " + std::string(key) +
         " command 9: request failed (IOKit 0x00000000, SMC 132)";
}

FakeSMCAccess::KeyTable FakeMachineKeys(NativePowerController::Mode mode,
                                        std::string_view adapterKey) {
  using Mode = NativePowerController::Mode;
  FakeSMCAccess::KeyTable keys;
  if (mode == Mode::firmware) {
    keys["bfF0"] = {0x00};
    keys["bfD0"] = {0x64, 0x00, 0x00, 0x00};
    keys["bfE0"] = {0x63, 0x00, 0x00, 0x00};
  } else if (mode == Mode::legacyPair) {
    keys["CH0B"] = {0x00};
    keys["CH0C"] = {0x00};
  } else if (mode == Mode::legacySingle) {
    keys["CHTE"] = {0x00, 0x00, 0x00, 0x00};
  }
  if (!adapterKey.empty()) keys[std::string(adapterKey)] = {0x00};
  keys["ACLC"] = {0x00};
  return keys;
}

FakeSMCAccess::KeyTable KeysFromText(std::string_view text) {
  FakeSMCAccess::KeyTable keys;
  std::istringstream entries{std::string(text)};
  std::string entry;
  while (std::getline(entries, entry, ',')) {
    std::istringstream words(entry);
    std::string key;
    words >> key >> std::hex;
    unsigned byte = 0;
    while (words >> byte) keys[key].push_back(static_cast<uint8_t>(byte));
  }
  return keys;
}

FakeMachine::FakeMachine(NativePowerController::Mode mode,
                         std::string_view changes, std::string_view adapterKey)
    : smc(std::make_shared<FakeSMCAccess>(FakeMachineKeys(mode, adapterKey))),
      controller(smc) {
  for (auto& [key, bytes] : KeysFromText(changes)) smc->set(key, bytes);
  smc->clearLog();
}

std::string ControlErrorOf(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const NativeControlError& error) {
    return error.description();
  }
  return "";
}

}  // namespace ampervale
