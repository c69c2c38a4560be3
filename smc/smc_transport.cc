#include "smc/smc_transport.h"

#include <cstdio>

#include "common/native_control_error.h"
#include "platform/smc_client.h"

namespace ampervale {

namespace {

// The key as the caller spelled it, from the request's key field.
std::string KeyOf(const NativeSMCPacket& request) {
  uint32_t value = request.uint32(NativeSMCPacket::kKeyOffset);
  std::string key;
  for (int shift = 24; shift >= 0; shift -= 8) {
    auto c = static_cast<uint8_t>(value >> shift);
    if (c >= 0x80) return "unknown";
    key.push_back(static_cast<char>(c));
  }
  return key;
}

NativeControlError ExchangeFailure(const NativeSMCPacket& request,
                                   const NativeSMCPacket& reply, int32_t code) {
  return SMCExchangeFailure(request, code,
                            reply.bytes[NativeSMCPacket::kResultOffset]);
}

}  // namespace

NativeControlError SMCExchangeFailure(const NativeSMCPacket& request,
                                      int32_t code, uint8_t result) {
  char hex_code[16];
  (void)std::snprintf(hex_code, sizeof hex_code, "0x%08x",
                      static_cast<uint32_t>(code));
  std::string reason = code == platform::kIOCodeNotPrivileged
                           ? "permission denied by SMC (root access may be "
                             "insufficient)"
                           : "request failed";
  return NativeControlError(
      "SMC " + KeyOf(request) + " command " +
      std::to_string(request.bytes[NativeSMCPacket::kCommandOffset]) + ": " +
      reason + " (IOKit " + hex_code + ", SMC " + std::to_string(result) + ")");
}

NativeSMCTransport::NativeSMCTransport() {
  platform::SMCOpenResult opened = platform::OpenSMC();
  if (!opened.service_found) {
    throw NativeControlError("AppleSMC is unavailable on this Mac");
  }
  if (!opened.connection) {
    throw NativeControlError("Cannot open AppleSMC (IOKit " +
                             std::to_string(opened.code) +
                             "); use the privileged helper");
  }
  connection_ = std::move(opened.connection);
}

NativeSMCTransport::NativeSMCTransport(PacketExchange packetExchange)
    : packetExchange_(std::move(packetExchange)) {}

NativeSMCTransport::~NativeSMCTransport() = default;

NativeSMCPacket NativeSMCTransport::call(const NativeSMCPacket& request) {
  NativeSMCPacket reply("    ", 0, 0, {});
  if (packetExchange_) {
    reply = packetExchange_(request);
    if (reply.bytes.size() != NativeSMCPacket::kSize) {
      throw NativeControlError(
          "SMC " + KeyOf(request) + " command " +
          std::to_string(request.bytes[NativeSMCPacket::kCommandOffset]) +
          ": reply block of " + std::to_string(reply.bytes.size()) +
          " bytes, expected 80");
    }
  } else {
    size_t reply_length = NativeSMCPacket::kSize;
    int32_t code = connection_->CallStructMethod(
        std::span<const uint8_t, platform::kSMCBlockSize>(request.bytes),
        std::span<uint8_t, platform::kSMCBlockSize>(reply.bytes),
        &reply_length);
    if (code != platform::kIOCodeSuccess) {
      throw ExchangeFailure(request, reply, code);
    }
    if (reply_length != NativeSMCPacket::kSize) {
      throw ExchangeFailure(request, reply, platform::kIOCodeSuccess);
    }
  }
  if (reply.bytes[NativeSMCPacket::kResultOffset] != 0) {
    throw ExchangeFailure(request, reply, platform::kIOCodeSuccess);
  }
  return reply;
}

int64_t NativeSMCTransport::size(const std::string& key) {
  NativeSMCPacket reply = call(NativeSMCPacket(key, kSMCKeyInformation, 0, {}));
  uint32_t size = reply.uint32(NativeSMCPacket::kDataSizeOffset);
  if (size == 0 || size > NativeSMCPacket::kMaxDataSize) {
    throw NativeControlError("SMC key " + key +
                             " has no usable data; this firmware may be "
                             "unsupported");
  }
  return size;
}

std::vector<uint8_t> NativeSMCTransport::read(const std::string& key) {
  int64_t width = size(key);
  NativeSMCPacket reply = call(NativeSMCPacket(key, kSMCReadKey, width, {}));
  auto data = reply.bytes.begin() + NativeSMCPacket::kDataOffset;
  return std::vector<uint8_t>(data, data + width);
}

void NativeSMCTransport::write(const std::string& key,
                               const std::vector<uint8_t>& bytes) {
  int64_t width = size(key);
  if (static_cast<size_t>(width) != bytes.size()) {
    throw NativeControlError("SMC payload width mismatch for " + key);
  }
  call(NativeSMCPacket(key, kSMCWriteKey, width, bytes));
  if (read(key) != bytes) {
    throw NativeControlError("SMC write verification failed for " + key);
  }
}

}  // namespace ampervale
