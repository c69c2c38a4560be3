#include "sim/smc_model.h"

#include <algorithm>

#include "platform/io_return.h"
#include "smc/smc_packet.h"

namespace ampervale::sim {

namespace {

using Packet = NativeSMCPacket;

uint32_t UInt32At(const std::vector<uint8_t>& block, int64_t offset) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | block[offset + i];
  return value;
}

void PutUInt32At(std::vector<uint8_t>& block, int64_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    block[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

// The key field holds the characters in reverse order.
std::string KeyOf(const std::vector<uint8_t>& block) {
  return std::string{static_cast<char>(block[3]), static_cast<char>(block[2]),
                     static_cast<char>(block[1]), static_cast<char>(block[0])};
}

}  // namespace

SMCModel::SMCModel(KeyTable keys) : keys_(std::move(keys)) {}

SMCAnswer SMCModel::Answer(std::span<const uint8_t> request) {
  std::vector<uint8_t> reply(request.begin(), request.end());
  std::string key = KeyOf(reply);
  uint8_t command = reply[Packet::kCommandOffset];
  if (faults_.Match(FaultKind::kDisconnect, key, command)) {
    return {.code = 0, .reply = {}, .disconnect = true};
  }
  if (faults_.Match(FaultKind::kNotPrivileged, key, command)) {
    return {.code = platform::kIOCodeNotPrivileged, .reply = {}};
  }
  uint8_t result = kSMCResultBadCommand;
  if (command == kSMCKeyInformation) {
    result = AnswerKeyInformation(key, reply);
  } else if (command == kSMCReadKey) {
    result = AnswerRead(key, reply);
  } else if (command == kSMCWriteKey) {
    result = AnswerWrite(key, reply);
  }
  reply[Packet::kResultOffset] = result;
  return {.code = 0, .reply = std::move(reply)};
}

uint8_t SMCModel::AnswerKeyInformation(const std::string& key,
                                       std::vector<uint8_t>& reply) const {
  if (!keys_.contains(key)) return kSMCResultKeyNotFound;
  PutUInt32At(reply, Packet::kDataSizeOffset, Width(key));
  return kSMCResultSuccess;
}

uint8_t SMCModel::AnswerRead(const std::string& key,
                             std::vector<uint8_t>& reply) {
  if (const Fault* fault =
          faults_.Match(FaultKind::kReadResult, key, kSMCReadKey)) {
    return fault->result;
  }
  auto found = keys_.find(key);
  if (found == keys_.end()) return kSMCResultKeyNotFound;
  std::fill(reply.begin() + Packet::kDataOffset, reply.end(), 0);
  size_t count = std::min<size_t>(found->second.size(), Packet::kMaxDataSize);
  std::copy_n(found->second.begin(), count,
              reply.begin() + Packet::kDataOffset);
  return kSMCResultSuccess;
}

uint8_t SMCModel::AnswerWrite(const std::string& key,
                              std::vector<uint8_t>& reply) {
  if (const Fault* fault =
          faults_.Match(FaultKind::kWriteResult, key, kSMCWriteKey)) {
    return fault->result;
  }
  if (!keys_.contains(key)) return kSMCResultKeyNotFound;
  uint32_t size = UInt32At(reply, Packet::kDataSizeOffset);
  if (size != Width(key) || size == 0 || size > Packet::kMaxDataSize) {
    return kSMCResultWidthMismatch;
  }
  auto data = reply.begin() + Packet::kDataOffset;
  SMCWrite write{now_, key, std::vector<uint8_t>(data, data + size), true};
  write.stored = !faults_.Match(FaultKind::kIgnoreWrite, key, kSMCWriteKey);
  if (write.stored) keys_[key] = write.bytes;
  writes_.push_back(std::move(write));
  return kSMCResultSuccess;
}

std::optional<int32_t> SMCModel::OpenRefusal() const {
  const Fault* refused = faults_.Find(FaultKind::kRefuseOpen);
  if (refused == nullptr) return std::nullopt;
  return refused->code;
}

std::optional<std::vector<uint8_t>> SMCModel::Value(
    const std::string& key) const {
  auto found = keys_.find(key);
  if (found == keys_.end()) return std::nullopt;
  return found->second;
}

uint32_t SMCModel::Width(const std::string& key) const {
  if (const Fault* fault =
          faults_.Match(FaultKind::kWidth, key, kSMCKeyInformation)) {
    return fault->width;
  }
  return static_cast<uint32_t>(keys_.at(key).size());
}

void SMCModel::SetValue(const std::string& key, std::vector<uint8_t> bytes) {
  keys_[key] = std::move(bytes);
}

bool SMCModel::RemoveKey(const std::string& key) {
  return keys_.erase(key) > 0;
}

}  // namespace ampervale::sim
