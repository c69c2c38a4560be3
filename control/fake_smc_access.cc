#include "control/fake_smc_access.h"

#include <cstdio>

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

void FakeSMCAccess::erase(const std::string& key) { keys_.erase(key); }

std::optional<std::vector<uint8_t>> FakeSMCAccess::value(
    const std::string& key) const {
  auto found = keys_.find(key);
  if (found == keys_.end()) return std::nullopt;
  return found->second;
}

void FakeSMCAccess::failRead(const std::string& key, std::string description) {
  failRead(key, ControlError(std::move(description)));
}

void FakeSMCAccess::failRead(const std::string& key, std::exception_ptr error) {
  readFaults_[key] = std::move(error);
}

void FakeSMCAccess::failWrite(const std::string& key, std::string description) {
  failWrite(key, ControlError(std::move(description)));
}

void FakeSMCAccess::failWrite(const std::string& key,
                              std::exception_ptr error) {
  writeFaults_[key] = std::move(error);
}

void FakeSMCAccess::dropWrites(const std::string& key) {
  droppedWrites_.insert(key);
}

void FakeSMCAccess::changeAfterReads(const std::string& key, int reads,
                                     std::vector<uint8_t> bytes) {
  if (reads <= 0) {
    set(key, std::move(bytes));
    return;
  }
  pendingChanges_[key] = PendingChange{reads, std::move(bytes)};
}

void FakeSMCAccess::clearFaults() {
  readFaults_.clear();
  writeFaults_.clear();
  droppedWrites_.clear();
  pendingChanges_.clear();
}

std::vector<std::string> FakeSMCAccess::writes() const {
  std::vector<std::string> entries;
  for (const std::string& entry : log_) {
    if (entry.starts_with("write ")) entries.push_back(entry);
  }
  return entries;
}

const std::vector<uint8_t>& FakeSMCAccess::existing(
    const std::string& key) const {
  auto found = keys_.find(key);
  if (found == keys_.end()) throw NativeControlError(MissingKeyText(key));
  return found->second;
}

void FakeSMCAccess::countRead(const std::string& key) {
  auto pending = pendingChanges_.find(key);
  if (pending == pendingChanges_.end()) return;
  if (--pending->second.reads_left > 0) return;
  keys_[key] = std::move(pending->second.bytes);
  pendingChanges_.erase(pending);
}

std::vector<uint8_t> FakeSMCAccess::read(const std::string& key) {
  log_.push_back("read " + key);
  if (auto fault = readFaults_.find(key); fault != readFaults_.end()) {
    std::rethrow_exception(fault->second);
  }
  std::vector<uint8_t> bytes = existing(key);
  countRead(key);
  return bytes;
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
                                        std::string_view adapterKey, bool led) {
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
  if (led) keys["ACLC"] = {0x00};
  return keys;
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
