// ampsim's machine descriptions: any JSON document is refused with a
// NativeControlError, or gives a machine that runs: an hour passes and its
// state can be shown.

#include "common/native_control_error.h"
#include "sim/machine.h"
#include "sim/simulated_mac.h"

using namespace ampervale;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const nlohmann::json json =
      nlohmann::json::parse(data, data + size, nullptr, false);
  if (json.is_discarded()) return 0;
  try {
    sim::SimulatedMac mac(sim::ParseMachine(json));
    mac.Advance(3600);
    (void)mac.StateJson().dump();
  } catch (const NativeControlError&) {
  }
  return 0;
}
