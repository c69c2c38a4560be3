// The transport over an exchange that answers with arbitrary blocks: of any
// length, with any result byte and any key size, or with a failure. It
// throws only NativeControlErrors, and a read returns exactly as many bytes
// as the key-information reply before it announced.

#include <fuzzer/FuzzedDataProvider.h>

#include "platform/simulator_socket.h"
#include "smc/smc_transport.h"
#include "tests/fuzz/fuzz_support.h"

using namespace ampervale;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  uint64_t announced = 0;
  NativeSMCTransport transport([&](const NativeSMCPacket& request) {
    if (input.ConsumeBool()) throw NativeControlError("exchange failed");
    NativeSMCPacket reply("    ", 0, 0, {});
    reply.bytes = input.ConsumeBytes<uint8_t>(
        input.ConsumeIntegralInRange<size_t>(0, 100));
    if (request.bytes[NativeSMCPacket::kCommandOffset] == kSMCKeyInformation &&
        reply.bytes.size() >= NativeSMCPacket::kDataSizeOffset + 4) {
      announced = platform::GetUIntLE(
          &reply.bytes[NativeSMCPacket::kDataSizeOffset], 4);
    }
    return reply;
  });
  while (input.remaining_bytes() > 0) {
    const std::string key =
        input.ConsumeBool() ? "ACLC" : input.ConsumeBytesAsString(4);
    try {
      if (input.ConsumeBool()) {
        fuzz::Require(transport.read(key).size() == announced,
                      "a read of another width than announced");
      } else {
        transport.write(key, input.ConsumeBytes<uint8_t>(
                                 input.ConsumeIntegralInRange(0, 40)));
      }
    } catch (const NativeControlError&) {
    }
  }
  return 0;
}
