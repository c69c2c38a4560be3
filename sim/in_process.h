#ifndef AMPERVALE_SIM_IN_PROCESS_H_
#define AMPERVALE_SIM_IN_PROCESS_H_

#include "sim/smc_model.h"
#include "smc/smc_transport.h"

namespace ampervale::sim {

// An exchange function that answers every request block from `model`, so
// that `NativeSMCTransport(InProcessExchange(model))` runs without a socket.
// Where the kernel would fail the exchange (a "not-privileged" or
// "disconnect" fault) it throws the NativeControlError the transport gives
// for that return code on the kernel path. `model` must outlive the
// function.
PacketExchange InProcessExchange(SMCModel& model);

}  // namespace ampervale::sim

#endif  // AMPERVALE_SIM_IN_PROCESS_H_
