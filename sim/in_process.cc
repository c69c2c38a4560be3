#include "sim/in_process.h"

#include "platform/io_return.h"

namespace ampervale::sim {

PacketExchange InProcessExchange(SMCModel& model) {
  return [&model](const NativeSMCPacket& request) {
    SMCAnswer answer = model.Answer(request.bytes);
    if (answer.disconnect) {
      // Nothing reached the reply buffer, so its result byte is 0.
      throw SMCExchangeFailure(request, platform::kIOCodeNotResponding, 0);
    }
    if (answer.code != platform::kIOCodeSuccess) {
      throw SMCExchangeFailure(request, answer.code, 0);
    }
    NativeSMCPacket reply("    ", 0, 0, {});
    reply.bytes = std::move(answer.reply);
    return reply;
  };
}

}  // namespace ampervale::sim
