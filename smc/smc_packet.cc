#include "smc/smc_packet.h"

#include <algorithm>
#include <cassert>

#include "common/native_control_error.h"

namespace ampervale {

namespace {

bool IsValidKey(std::string_view key) {
  return key.size() == 4 && std::all_of(key.begin(), key.end(), [](char c) {
           return static_cast<unsigned char>(c) < 0x80;
         });
}

}  // namespace

NativeSMCPacket::NativeSMCPacket(std::string_view key, uint8_t command,
                                 int64_t size,
                                 const std::vector<uint8_t>& payload)
    : bytes(kSize, 0) {
  if (!IsValidKey(key) || size < 0 || size > kMaxDataSize ||
      payload.size() > static_cast<size_t>(kMaxDataSize)) {
    throw NativeControlError("Invalid SMC key or payload size");
  }
  uint32_t key_value = 0;
  for (char c : key) key_value = (key_value << 8) | static_cast<uint8_t>(c);
  setUInt32(key_value, kKeyOffset);
  setUInt32(static_cast<uint32_t>(size), kDataSizeOffset);
  bytes[kCommandOffset] = command;
  std::copy(payload.begin(), payload.end(), bytes.begin() + kDataOffset);
}

void NativeSMCPacket::setUInt32(uint32_t value, int64_t offset) {
  assert(offset >= 0 && static_cast<size_t>(offset) + 4 <= bytes.size());
  for (int i = 0; i < 4; ++i) {
    bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

uint32_t NativeSMCPacket::uint32(int64_t offset) const {
  assert(offset >= 0 && static_cast<size_t>(offset) + 4 <= bytes.size());
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | bytes[offset + i];
  return value;
}

}  // namespace ampervale
