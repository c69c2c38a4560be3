#ifndef AMPERVALE_SIM_CONTROL_H_
#define AMPERVALE_SIM_CONTROL_H_

#include <nlohmann/json.hpp>

#include "sim/simulated_mac.h"
#include "sim/sleep_options.h"

namespace ampervale::sim {

// The first byte of a control connection, after the SMC's 0x01 and the
// battery's 0x02. One JSON request line follows; one JSON line answers it
// and the simulator closes the connection.
inline constexpr uint8_t kControlRequest = 0x03;

// The field of a "sleep" request's interim answer that the control session
// waits on (SleepCycle::Finished) before it answers.
inline constexpr char kSleepTicket[] = "sleepTicket";

// Carries out one control request on the machine. Never throws: a failure
// is answered {"ok": false, "error": text}, a success {"ok": true, ...}.
// The requests (field "command"):
//   {"command": "key", "key": K}              -> "value": hex
//   {"command": "set-key", "key": K, "value": hex}   (adds a missing key)
//   {"command": "remove-key", "key": K}
//   {"command": "battery", "level": percent}
//   {"command": "fault", "fault": {...}}       (a fault object, see faults.h)
//   {"command": "clear-faults"[, "kind": kind][, "target": key or property]}
//                                             -> "cleared": count
//   {"command": "state"}                      -> "state": StateJson()
//   {"command": "clear-writes"}
//   {"command": "sleep", "hours": h, ...}    -> kSleepTicket: the session
//                                             answers "state" once awake;
//                                             the options of sleep_options.h
nlohmann::json HandleControl(SimulatedMac& mac, const nlohmann::json& request);

}  // namespace ampervale::sim

#endif  // AMPERVALE_SIM_CONTROL_H_
