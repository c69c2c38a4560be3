#include "control/power_controller.h"

#include <array>
#include <cassert>
#include <exception>
#include <utility>

#include "common/native_control_error.h"

namespace ampervale {

namespace {

using Mode = NativePowerController::Mode;
using WidthTable = std::map<std::string, size_t, std::less<>>;

constexpr std::array<std::pair<Mode, std::string_view>, 4> kModeNames = {{
    {Mode::firmware, "firmware"},
    {Mode::legacyPair, "legacyPair"},
    {Mode::legacySingle, "legacySingle"},
    {Mode::unsupported, "unsupported"},
}};

std::string WidthDiagnostic(size_t width, size_t expected) {
  if (width == expected) {
    return "available (" + std::to_string(width) + " bytes)";
  }
  return "unexpected payload width " + std::to_string(width) + ", expected " +
         std::to_string(expected);
}

// Reads one key for the probe. The probe must never fail, so every
// exception, whatever the access (or an exchange function beneath it)
// throws, becomes the key's diagnostic.
std::string ProbeKey(NativeSMCAccess& smc, const KeyWidth& row,
                     WidthTable& widths) {
  try {
    size_t width = smc.read(std::string(row.key)).size();
    widths.emplace(row.key, width);
    return WidthDiagnostic(width, row.width);
  } catch (const NativeControlError& error) {
    return error.description();
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "SMC read failed";
  }
}

// A key present with another width counts as absent.
bool HasWidth(const WidthTable& widths, std::string_view key, size_t width) {
  auto found = widths.find(key);
  return found != widths.end() && found->second == width;
}

bool AllAnswered(const WidthTable& widths, std::span<const KeyWidth> keys) {
  for (const KeyWidth& row : keys) {
    if (!HasWidth(widths, row.key, row.width)) return false;
  }
  return true;
}

Mode ChooseMode(const WidthTable& widths) {
  if (AllAnswered(widths, kFirmwareChargeKeys)) return Mode::firmware;
  if (AllAnswered(widths, kLegacyPairChargeKeys)) return Mode::legacyPair;
  if (AllAnswered(widths, kLegacySingleChargeKeys)) return Mode::legacySingle;
  return Mode::unsupported;
}

std::optional<std::string> ChooseAdapterKey(const WidthTable& widths) {
  for (const AdapterKeyValue& candidate : kAdapterKeys) {
    if (HasWidth(widths, candidate.key, 1)) {
      return std::string(candidate.key);
    }
  }
  return std::nullopt;
}

// Lists what the probe found for every charge key of every mode, so the
// user can see why none of the modes applies.
std::string UnavailableMessage(
    const std::map<std::string, std::string>& diagnostics) {
  std::string message = "Charging control unavailable. ";
  std::string_view separator;
  for (std::span<const KeyWidth> keys :
       {std::span<const KeyWidth>(kFirmwareChargeKeys),
        std::span<const KeyWidth>(kLegacyPairChargeKeys),
        std::span<const KeyWidth>(kLegacySingleChargeKeys)}) {
    for (const KeyWidth& row : keys) {
      auto found = diagnostics.find(std::string(row.key));
      message += std::string(separator) + std::string(row.key) + ": " +
                 (found == diagnostics.end() ? "unknown" : found->second);
      separator = "; ";
    }
  }
  return message;
}

}  // namespace

std::optional<Mode> NativePowerController::ModeFromString(
    std::string_view raw) {
  for (const auto& [mode, name] : kModeNames) {
    if (name == raw) return mode;
  }
  return std::nullopt;
}

std::string_view NativePowerController::RawValue(Mode mode) {
  for (const auto& [candidate, name] : kModeNames) {
    if (candidate == mode) return name;
  }
  assert(false && "every mode has a raw value");
  return {};
}

NativePowerController::NativePowerController(
    std::shared_ptr<NativeSMCAccess> smc)
    : mode_(Mode::unsupported), smc_(std::move(smc)) {
  assert(smc_ != nullptr);
  WidthTable widths;
  for (const KeyWidth& row : kProbedKeys) {
    capabilityDiagnostics_[std::string(row.key)] = ProbeKey(*smc_, row, widths);
  }
  mode_ = ChooseMode(widths);
  adapterKey_ = ChooseAdapterKey(widths);
}

std::span<const KeyWidth> NativePowerController::chargeKeys() const {
  switch (mode_) {
    case Mode::firmware:
      return kFirmwareChargeKeys;
    case Mode::legacyPair:
      return kLegacyPairChargeKeys;
    case Mode::legacySingle:
      return kLegacySingleChargeKeys;
    case Mode::unsupported:
      break;
  }
  return {};
}

void NativePowerController::validateChargeSupport() const {
  if (mode_ == Mode::unsupported) {
    throw NativeControlError(UnavailableMessage(capabilityDiagnostics_));
  }
  for (const KeyWidth& row : chargeKeys()) {
    size_t width = smc_->read(std::string(row.key)).size();
    if (width != row.width) {
      throw NativeControlError(
          "Charging key " + std::string(row.key) +
          " changed payload width to " + std::to_string(width) + ", expected " +
          std::to_string(row.width) + "; hardware state was preserved");
    }
  }
}

void NativePowerController::setKey(std::string_view key,
                                   const std::vector<uint8_t>& value) {
  std::string name(key);
  if (smc_->read(name) == value) return;
  smc_->write(name, value);
}

}  // namespace ampervale
