// ampsim on any bytes, read twice. As a machine description: a JSON
// document is refused with a NativeControlError, or gives a machine that
// runs: an hour passes and its state can be shown. As the socket protocol:
// connections to one simulated Mac, each fed its bytes in arbitrary pieces,
// where control requests may change the machine and its faults for the
// connections after. Nothing crashes, and a connection that has ended takes
// and answers nothing more.

#include <fuzzer/FuzzedDataProvider.h>

#include "common/native_control_error.h"
#include "sim/machine.h"
#include "sim/session.h"
#include "sim/simulated_mac.h"
#include "tests/fuzz/fuzz_support.h"

using namespace ampervale;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto machine = sim::BuiltInMachine("firmware");
  // Bytes that are not JSON (numbers out of range too) are no description.
  const nlohmann::json document =
      nlohmann::json::parse(data, data + size, nullptr, false);
  try {
    if (!document.is_discarded()) {
      sim::SimulatedMac described(sim::ParseMachine(document));
      described.Advance(3600);
      (void)described.StateJson().dump();
    }
  } catch (const NativeControlError&) {
  }
  sim::SimulatedMac mac(machine);
  FuzzedDataProvider input(data, size);
  while (input.remaining_bytes() > 0) {
    sim::Session session(7);
    do {
      const bool ended = session.ending() != sim::Session::Ending::kOpen;
      const size_t answered = session.output().size();
      session.Feed(input.ConsumeBytes<uint8_t>(
                       input.ConsumeIntegralInRange<size_t>(1, 200)),
                   mac);
      fuzz::Require(!ended || session.output().size() == answered,
                    "an ended connection answered");
      if (input.ConsumeBool()) session.output().clear();
      mac.Advance(input.ConsumeFloatingPointInRange(0.0, 600.0));
    } while (input.ConsumeBool());
  }
  return 0;
}
