#ifndef AMPERVALE_CONTROL_CONTROLLER_TABLES_H_
#define AMPERVALE_CONTROL_CONTROLLER_TABLES_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

// The fixed SMC keys and values the power controller works with.
namespace ampervale {

// A key and the payload width the controller expects of it.
struct KeyWidth {
  std::string_view key;
  size_t width;
};

// Probing order; the capability diagnostics are produced in this order too.
inline constexpr std::array<KeyWidth, 10> kProbedKeys = {{
    {"bfF0", 1},
    {"bfD0", 4},
    {"bfE0", 4},
    {"CH0B", 1},
    {"CH0C", 1},
    {"CHTE", 4},
    {"CH0I", 1},
    {"CH0J", 1},
    {"CHIE", 1},
    {"ACLC", 1},
}};

// The charge keys each mode drives. A mode is detected when all of its keys
// answered with these widths, and is re-checked against them before every
// charge operation.
inline constexpr std::array<KeyWidth, 3> kFirmwareChargeKeys = {{
    {"bfF0", 1},
    {"bfD0", 4},
    {"bfE0", 4},
}};
inline constexpr std::array<KeyWidth, 2> kLegacyPairChargeKeys = {{
    {"CH0B", 1},
    {"CH0C", 1},
}};
inline constexpr std::array<KeyWidth, 1> kLegacySingleChargeKeys = {{
    {"CHTE", 4},
}};

// Firmware limiter switch values (`bfF0`).
inline constexpr uint8_t kLimiterOff = 0x00;
inline constexpr uint8_t kLimiterOn = 0x02;

// Legacy pair values (`CH0B`, `CH0C`).
inline constexpr uint8_t kPairChargingAllowed = 0x00;
inline constexpr uint8_t kPairChargingInhibited = 0x02;

// Legacy single key (`CHTE`) first byte; the other three bytes are zero.
inline constexpr uint8_t kSingleChargingAllowed = 0x00;
inline constexpr uint8_t kSingleChargingInhibited = 0x01;

// Adapter key candidates in order of preference, each with the byte that
// cuts the adapter off. Every one of them reads 0x00 when enabled.
struct AdapterKeyValue {
  std::string_view key;
  uint8_t disabled;
};
inline constexpr uint8_t kAdapterEnabled = 0x00;
inline constexpr std::array<AdapterKeyValue, 3> kAdapterKeys = {{
    {"CH0I", 0x01},
    {"CH0J", 0x01},
    {"CHIE", 0x08},
}};

// MagSafe LED mode names (case-sensitive) and the `ACLC` byte for each.
struct LEDModeValue {
  std::string_view name;
  uint8_t value;
};
inline constexpr std::string_view kLEDKey = "ACLC";
inline constexpr std::array<LEDModeValue, 10> kLEDModes = {{
    {"system", 0x00},
    {"enable", 0x00},
    {"off", 0x01},
    {"always-off", 0x01},
    {"green", 0x03},
    {"amber", 0x04},
    {"orange", 0x04},
    {"slow-blink-amber", 0x06},
    {"fast-blink-amber", 0x07},
    {"blink-amber-off", 0x25},
}};

}  // namespace ampervale

#endif  // AMPERVALE_CONTROL_CONTROLLER_TABLES_H_
