#include "sim/live_view.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "sim/hex.h"

namespace ampervale::sim {

namespace {

constexpr int kBarWidth = 40;
constexpr size_t kWritesShown = 8;
constexpr size_t kEventsShown = 4;
constexpr double kRedrawSeconds = 0.2;

std::string Format(const char* format, double a, double b = 0) {
  char text[128];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

std::string Bar(double level) {
  int filled = static_cast<int>(std::lround(level * kBarWidth / 100));
  filled = std::clamp(filled, 0, kBarWidth);
  std::string bar = "[";
  bar.append(filled, '#');
  bar.append(kBarWidth - filled, '.');
  bar += ']';
  return bar;
}

// The key's bytes, or "-" when the machine lacks the key.
std::string ValueText(const SimulatedMac& mac, const std::string& key) {
  std::optional<std::vector<uint8_t>> value = mac.smc().Value(key);
  return value ? ToHex(*value) : "-";
}

std::string AdapterText(const SimulatedMac& mac) {
  const MachineDescription& machine = mac.machine();
  if (machine.adapter_key.empty()) return "no adapter key";
  std::string key =
      machine.adapter_key + " " + ValueText(mac, machine.adapter_key);
  if (!machine.adapter_connected) return key + ", unplugged";
  bool supplies = mac.Controls().adapter_supplies();
  return key + (supplies ? ", supplying power" : ", cut off");
}

std::string KeysText(const SimulatedMac& mac) {
  std::string text;
  for (const auto& [key, value] : mac.smc().keys()) {
    text += key + " " + ToHex(value) + "  ";
  }
  return text.empty() ? "none" : text;
}

std::string FaultsText(const SimulatedMac& mac) {
  std::string text;
  for (const Fault& fault : mac.smc().faults().all()) {
    text += FaultToJson(fault).dump() + " ";
  }
  return text.empty() ? "none" : text;
}

void AddWrites(const SimulatedMac& mac, std::vector<std::string>& lines) {
  const auto& writes = mac.smc().writes();
  lines.push_back("Last SMC writes (" + std::to_string(writes.size()) + ")");
  size_t first =
      writes.size() > kWritesShown ? writes.size() - kWritesShown : 0;
  for (size_t i = first; i < writes.size(); ++i) {
    lines.push_back("  " + ClockText(writes[i].time) + "  " + writes[i].key +
                    " " + ToHex(writes[i].bytes) +
                    (writes[i].stored ? "" : "  (ignored)"));
  }
}

void AddEvents(const SimulatedMac& mac, std::vector<std::string>& lines) {
  const auto& events = mac.events();
  lines.push_back("Last events");
  size_t first =
      events.size() > kEventsShown ? events.size() - kEventsShown : 0;
  for (size_t i = first; i < events.size(); ++i) {
    lines.push_back("  " + ClockText(events[i].time) + "  " + events[i].text);
  }
}

}  // namespace

std::vector<std::string> LiveScreen(const SimulatedMac& mac,
                                    const std::string& socket_path,
                                    double time_scale) {
  const Battery& battery = mac.battery();
  std::vector<std::string> lines{
      "ampsim  " + mac.machine().name + " at " + socket_path + "  time x" +
          Format("%g", time_scale) + "  simulated " + ClockText(mac.now()),
      "Battery  " + Bar(battery.level) +
          Format(" %5.1f %%  (%.0f", battery.level,
                 static_cast<double>(mac.CurrentCapacity())) +
          " / " + std::to_string(mac.machine().max_capacity) + " mAh)",
      "Power    " + std::string(PowerStateName(mac.state())) + " (" +
          mac.Reason() + ")",
      "Adapter  " + AdapterText(mac),
      "LED      " + mac.Led() + " (ACLC " + ValueText(mac, "ACLC") + ")",
      "Sleep    " + mac.sleep().Summary(),
      "Keys     " + KeysText(mac),
      "Faults   " + FaultsText(mac),
  };
  AddWrites(mac, lines);
  AddEvents(mac, lines);
  return lines;
}

LiveView::LiveView(std::ostream& out, std::string socket_path,
                   double time_scale)
    : out_(out),
      socket_path_(std::move(socket_path)),
      time_scale_(time_scale) {}

void LiveView::Update(const SimulatedMac& mac, double real_seconds) {
  if (drawn_ && real_seconds - last_draw_ < kRedrawSeconds) return;
  last_draw_ = real_seconds;
  Draw(mac);
}

void LiveView::Draw(const SimulatedMac& mac) {
  // Clear once, then only go home and overwrite: no flicker.
  if (!drawn_) out_ << "\x1b[2J\x1b[?25l";
  drawn_ = true;
  out_ << "\x1b[H";
  for (const std::string& line : LiveScreen(mac, socket_path_, time_scale_)) {
    out_ << line << "\x1b[K\n";
  }
  out_ << "\x1b[J" << std::flush;
}

void LiveView::Finish(const SimulatedMac& mac) {
  Draw(mac);
  out_ << "\x1b[?25hstopped\n" << std::flush;
}

EventLog::EventLog(std::ostream& out, std::string socket_path,
                   double time_scale)
    : out_(out),
      socket_path_(std::move(socket_path)),
      time_scale_(time_scale) {}

void EventLog::Line(double time, const std::string& text) {
  out_ << "[" << ClockText(time) << "] " << text << "\n";
}

void EventLog::Update(const SimulatedMac& mac, double) {
  if (!started_) {
    Line(mac.now(), "serving " + mac.machine().name + " at " + socket_path_ +
                        " (time scale " + Format("%g", time_scale_) + ")");
    started_ = true;
  }
  const auto& writes = mac.smc().writes();
  writes_seen_ = std::min(writes_seen_, writes.size());
  for (; writes_seen_ < writes.size(); ++writes_seen_) {
    const SMCWrite& write = writes[writes_seen_];
    Line(write.time, "write " + write.key + " " + ToHex(write.bytes) +
                         (write.stored ? "" : " (ignored)"));
  }
  for (; events_seen_ < mac.events().size(); ++events_seen_) {
    Line(mac.events()[events_seen_].time, mac.events()[events_seen_].text);
  }
  int percent = static_cast<int>(std::floor(mac.battery().level));
  if (percent != last_percent_ && mac.machine().battery_present) {
    Line(mac.now(), "battery " + std::to_string(percent) + " %, " +
                        std::string(PowerStateName(mac.state())));
    last_percent_ = percent;
  }
  out_ << std::flush;
}

void EventLog::Finish(const SimulatedMac& mac) {
  Update(mac, 0);
  Line(mac.now(), "stopped");
  out_ << std::flush;
}

}  // namespace ampervale::sim
