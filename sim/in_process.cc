#include "sim/in_process.h"

#include <cstdio>
#include <string>

#include "common/native_control_error.h"
#include "platform/io_return.h"

namespace ampervale::sim {

namespace {

// The transport's own wording for a failed kernel call; nothing was copied
// into its reply buffer, so the SMC result it shows is 0.
NativeControlError KernelFailure(const NativeSMCPacket& request, int32_t code) {
  const auto& bytes = request.bytes;
  std::string key{static_cast<char>(bytes[3]), static_cast<char>(bytes[2]),
                  static_cast<char>(bytes[1]), static_cast<char>(bytes[0])};
  char hex_code[16];
  std::snprintf(hex_code, sizeof hex_code, "0x%08x",
                static_cast<uint32_t>(code));
  std::string reason = code == platform::kIOReturnNotPrivileged
                           ? "permission denied by SMC (root access may be "
                             "insufficient)"
                           : "request failed";
  return NativeControlError(
      "SMC " + key + " command " +
      std::to_string(bytes[NativeSMCPacket::kCommandOffset]) + ": " + reason +
      " (IOKit " + hex_code + ", SMC 0)");
}

}  // namespace

PacketExchange InProcessExchange(SMCModel& model) {
  return [&model](const NativeSMCPacket& request) {
    SMCAnswer answer = model.Answer(request.bytes);
    if (answer.disconnect) {
      throw KernelFailure(request, platform::kIOReturnNotResponding);
    }
    if (answer.code != platform::kIOReturnSuccess) {
      throw KernelFailure(request, answer.code);
    }
    NativeSMCPacket reply("    ", 0, 0, {});
    reply.bytes = std::move(answer.reply);
    return reply;
  };
}

}  // namespace ampervale::sim
