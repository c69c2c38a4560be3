#include "sim/trace.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "common/native_control_error.h"
#include "sim/hex.h"

namespace ampervale::sim {

namespace {

constexpr double kSampleSeconds = 60;

std::string WriteText(const SMCWrite& write) {
  return "write " + write.key + " " + ToHex(write.bytes) +
         (write.stored ? "" : " (ignored)");
}

}  // namespace

TraceWriter::TraceWriter(const std::string& path) : file_(path) {
  if (!file_) {
    throw NativeControlError("Cannot write the trace " + path + ": " +
                             std::strerror(errno));
  }
}

void TraceWriter::Row(const SimulatedMac& mac, double time,
                      const std::string& event) {
  char numbers[64];
  std::snprintf(numbers, sizeof numbers, "%.4f\t%.3f\t", time / 3600,
                mac.battery().level);
  file_ << numbers << PowerStateName(mac.state()) << '\t' << event << '\n'
        << std::flush;
}

void TraceWriter::Update(const SimulatedMac& mac, double) {
  if (!started_) {
    file_ << "# ampsim trace of the machine " << mac.machine().name << "\n"
          << "# hours\tlevel\tstate\tevent\n";
    Row(mac, mac.now(), "start");
    started_ = true;
    last_sample_ = mac.now();
  }
  std::vector<std::pair<double, std::string>> rows;
  const auto& writes = mac.smc().writes();
  // The list shrinks when an operator clears it.
  writes_seen_ = std::min(writes_seen_, writes.size());
  for (; writes_seen_ < writes.size(); ++writes_seen_) {
    rows.emplace_back(writes[writes_seen_].time,
                      WriteText(writes[writes_seen_]));
  }
  for (; events_seen_ < mac.events().size(); ++events_seen_) {
    rows.emplace_back(mac.events()[events_seen_].time,
                      mac.events()[events_seen_].text);
  }
  std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
    return a.first < b.first;
  });
  for (const auto& [time, event] : rows) Row(mac, time, event);
  if (mac.now() - last_sample_ >= kSampleSeconds) {
    Row(mac, mac.now(), "");
    last_sample_ = mac.now();
  }
}

void TraceWriter::Finish(const SimulatedMac& mac) {
  Update(mac, 0);
  Row(mac, mac.now(), "stop");
}

}  // namespace ampervale::sim
