#include "sim/serve.h"

#include <signal.h>

#include <atomic>
#include <memory>

#include "common/native_control_error.h"
#include "sim/live_view.h"
#include "sim/machine.h"
#include "sim/server.h"
#include "sim/trace.h"

namespace ampervale::sim {

namespace {

std::atomic<Server*> g_serving{nullptr};
volatile sig_atomic_t g_stop_signalled = 0;

void StopServing(int) {
  g_stop_signalled = 1;
  if (Server* server = g_serving.load()) server->Stop();
}

// Routes the stop signals to the server while it runs. Installed before
// the socket exists, so that a signal during start-up still ends in an
// orderly stop that removes the socket. A client that goes away must not
// kill the simulator with SIGPIPE.
class StopSignals {
 public:
  StopSignals() {
    g_stop_signalled = 0;
    struct sigaction action {};
    action.sa_handler = StopServing;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &action, &saved_[i]);
    signal(SIGPIPE, SIG_IGN);
  }
  ~StopSignals() {
    Detach();
    for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &saved_[i], nullptr);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  void Attach(Server& server) {
    g_serving = &server;
    if (g_stop_signalled) server.Stop();
  }
  // REQUIRES: before the attached server is destroyed.
  void Detach() { g_serving = nullptr; }

 private:
  static constexpr int kSignals[3] = {SIGINT, SIGTERM, SIGHUP};
  struct sigaction saved_[3];
};

MachineDescription MachineOf(const ServeSettings& settings) {
  if (!settings.profile.empty() && !settings.machine_file.empty()) {
    throw NativeControlError("Give either --profile or --machine, not both");
  }
  MachineDescription machine =
      settings.machine_file.empty()
          ? BuiltInMachine(settings.profile.empty() ? "firmware"
                                                    : settings.profile)
          : LoadMachineFile(settings.machine_file);
  if (settings.level) {
    if (!(*settings.level >= 0 && *settings.level <= 100)) {
      throw NativeControlError("The battery level must be from 0 to 100");
    }
    machine.battery.level = *settings.level;
  }
  return machine;
}

}  // namespace

void Serve(const ServeSettings& settings, std::ostream& out) {
  if (!(settings.time_scale > 0 && settings.time_scale <= 1e6)) {
    throw NativeControlError(
        "The time scale must be above 0 and at most 1000000");
  }
  StopSignals signals;
  SimulatedMac mac(MachineOf(settings));
  std::unique_ptr<TraceWriter> trace;
  if (!settings.trace_path.empty()) {
    trace = std::make_unique<TraceWriter>(settings.trace_path);
  }
  ServerOptions options;
  options.socket_path = settings.socket_path;
  options.time_scale = settings.time_scale;
  Server server(mac, options);
  std::unique_ptr<SimulatorObserver> view;
  if (settings.live_view) {
    view = std::make_unique<LiveView>(out, settings.socket_path,
                                      settings.time_scale);
  } else {
    view = std::make_unique<EventLog>(out, settings.socket_path,
                                      settings.time_scale);
  }
  server.AddObserver(view.get());
  if (trace) server.AddObserver(trace.get());
  signals.Attach(server);
  server.Run();
  signals.Detach();
}

}  // namespace ampervale::sim
