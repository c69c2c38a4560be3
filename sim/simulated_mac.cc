#include "sim/simulated_mac.h"

#include <cmath>
#include <cstdio>

#include "sim/hex.h"

namespace ampervale::sim {

namespace {

PropertyAnswer FaultAnswer(const nlohmann::json& value) {
  PropertyAnswer answer;
  if (value.is_number_integer()) {
    answer.tag = PropertyAnswer::kInteger;
    answer.integer = value.is_number_unsigned()
                         ? static_cast<int64_t>(value.get<uint64_t>())
                         : value.get<int64_t>();
  } else if (value.is_number()) {
    answer.tag = PropertyAnswer::kReal;
    answer.real = value.get<double>();
  } else if (value.is_string()) {
    answer.tag = PropertyAnswer::kNotNumber;
  }
  return answer;
}

PropertyAnswer IntegerAnswer(int64_t value) {
  return {.tag = PropertyAnswer::kInteger, .integer = value};
}

PropertyAnswer BooleanAnswer(bool value) {
  return {.tag = PropertyAnswer::kBoolean, .boolean = value};
}

std::string RateText(double percent_per_hour) {
  char text[48];
  std::snprintf(text, sizeof text, "%g %%/h", percent_per_hour);
  return text;
}

// The keys a hibernation may set back: the inhibit and adapter keys.
constexpr const char* kChargeControlKeys[] = {"CH0B", "CH0C", "CHTE",
                                              "CH0I", "CH0J", "CHIE"};

nlohmann::json WritesJson(const std::vector<SMCWrite>& writes) {
  nlohmann::json list = nlohmann::json::array();
  for (const SMCWrite& write : writes) {
    list.push_back({{"time", write.time},
                    {"key", write.key},
                    {"bytes", ToHex(write.bytes)},
                    {"stored", write.stored}});
  }
  return list;
}

}  // namespace

SimulatedMac::SimulatedMac(const MachineDescription& machine)
    : machine_(machine), smc_(machine.keys), battery_(machine.battery) {
  for (const Fault& fault : machine.faults) smc_.faults().Add(fault);
  last_state_ = state();
}

bool SimulatedMac::BatteryServiceExists() const {
  return machine_.battery_present &&
         smc_.faults().Find(FaultKind::kNoBattery) == nullptr;
}

PropertyAnswer SimulatedMac::Property(std::string_view name) const {
  if (const Fault* fault = smc_.faults().FindCapacity(name)) {
    return FaultAnswer(fault->value);
  }
  if (name == "CurrentCapacity") {
    return IntegerAnswer(
        CapacityOf(sleep_.LaggingLevel(now_).value_or(battery_.level)));
  }
  if (name == "MaxCapacity") return IntegerAnswer(machine_.max_capacity);
  if (name == "ExternalConnected") {
    return BooleanAnswer(machine_.adapter_connected);
  }
  return {};
}

PropertyAnswer SimulatedMac::RootDomainProperty(std::string_view name) const {
  if (name != "System Capabilities") return {};
  return IntegerAnswer(static_cast<int64_t>(sleep_.Capabilities()));
}

void SimulatedMac::Advance(double seconds) {
  now_ += std::max(seconds, 0.0);
  smc_.set_now(now_);
  if (machine_.battery_present) {
    double awake_drain = battery_.drain_rate;
    if (sleep_.asleep()) battery_.drain_rate = battery_.sleep_drain_rate;
    sim::Advance(battery_, Controls(), seconds);
    battery_.drain_rate = awake_drain;
  }
  PowerState current = state();
  if (current != last_state_) {
    Note(std::string(PowerStateName(current)) + " (" + Reason() + ")");
    last_state_ = current;
  }
}

void SimulatedMac::SetLevel(double percent) {
  battery_.level = percent;
  battery_.firmware_holding = false;
  sim::Advance(battery_, Controls(), 0);
}

bool SimulatedMac::PlugAdapter(bool connected) {
  if (machine_.adapter_connected == connected) return false;
  machine_.adapter_connected = connected;
  Note(connected ? "adapter plugged in" : "adapter pulled out");
  return true;
}

void SimulatedMac::ResetChargeKeys() {
  std::string reset;
  for (const char* key : kChargeControlKeys) {
    auto initial = machine_.keys.find(key);
    if (initial == machine_.keys.end()) continue;
    smc_.SetValue(key, initial->second);
    reset += std::string(" ") + key + " " + ToHex(initial->second);
  }
  Note("charge-control keys back to their first values:" +
       (reset.empty() ? std::string(" none") : reset));
}

void SimulatedMac::SetChargeRate(double percent_per_hour) {
  battery_.charge_rate = percent_per_hour;
  Note("charge rate now " + RateText(percent_per_hour));
}

void SimulatedMac::SetChargeRateAbove80(double percent_per_hour) {
  battery_.charge_rate_above_80 = percent_per_hour;
  Note("charge rate above 80 % now " + RateText(percent_per_hour));
}

void SimulatedMac::HoldAt80(bool hold) {
  if (battery_.held_at_80 == hold) return;
  battery_.held_at_80 = hold;
  Note(hold ? "optimized charging holds the battery at 80 %"
            : "optimized charging lets the battery charge on");
}

void SimulatedMac::RestoreCharging() {
  battery_.charge_rate = machine_.battery.charge_rate;
  battery_.charge_rate_above_80 = machine_.battery.charge_rate_above_80;
  battery_.held_at_80 = false;
}

ChargeControls SimulatedMac::Controls() const {
  return ReadChargeControls(smc_, machine_.adapter_key,
                            machine_.adapter_connected);
}

PowerState SimulatedMac::state() const {
  if (!machine_.battery_present) return PowerState::kNoBattery;
  return StateOf(battery_, Controls());
}

std::string SimulatedMac::Reason() const {
  if (!machine_.battery_present) return "the machine has no battery";
  return ReasonOf(battery_, Controls());
}

std::string SimulatedMac::Led() const {
  return LedColour(smc_.Value("ACLC"), state(), machine_.adapter_connected);
}

int64_t SimulatedMac::CurrentCapacity() const {
  return CapacityOf(battery_.level);
}

int64_t SimulatedMac::CapacityOf(double level) const {
  // The small allowance keeps a level of exactly 80.0 at 80 % after the
  // round trip through an integer capacity.
  return static_cast<int64_t>(std::floor(
      level * static_cast<double>(machine_.max_capacity) / 100 + 1e-9));
}

void SimulatedMac::Note(std::string text) {
  events_.push_back({now_, std::move(text)});
}

nlohmann::json SimulatedMac::StateJson() const {
  nlohmann::json keys = nlohmann::json::object();
  for (const auto& [key, value] : smc_.keys()) keys[key] = ToHex(value);
  nlohmann::json faults = nlohmann::json::array();
  for (const Fault& fault : smc_.faults().all()) {
    faults.push_back(FaultToJson(fault));
  }
  int64_t current = CurrentCapacity();
  return {
      {"machine", machine_.name},
      {"time", now_},
      {"timeScale", time_scale_},
      {"battery",
       {{"present", BatteryServiceExists()},
        {"level", battery_.level},
        {"percentage", current * 100 / machine_.max_capacity},
        {"currentCapacity", current},
        {"maxCapacity", machine_.max_capacity}}},
      {"power", PowerStateName(state())},
      {"reason", Reason()},
      {"adapter",
       {{"key", machine_.adapter_key.empty()
                    ? nlohmann::json()
                    : nlohmann::json(machine_.adapter_key)},
        {"connected", machine_.adapter_connected},
        {"supplying", Controls().adapter_supplies()}}},
      {"led", Led()},
      {"sleep", sleep_.StateJson()},
      {"keys", keys},
      {"faults", faults},
      {"writes", WritesJson(smc_.writes())},
  };
}

std::string ClockText(double seconds) {
  auto whole = static_cast<int64_t>(std::max(seconds, 0.0));
  char text[32];
  std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld",
                static_cast<long long>(whole / 3600),
                static_cast<long long>(whole / 60 % 60),
                static_cast<long long>(whole % 60));
  return text;
}

}  // namespace ampervale::sim
