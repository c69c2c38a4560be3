#ifndef AMPERVALE_SIM_HEX_H_
#define AMPERVALE_SIM_HEX_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ampervale::sim {

// Two lower-case hex digits per byte, no separators: {0x12, 0xab} -> "12ab".
std::string ToHex(const std::vector<uint8_t>& bytes);

// Reads pairs of hex digits (either case); blanks may separate the bytes.
// Absent for an odd digit count, a stray character, or a blank inside a
// byte. "" gives an empty value; callers check the width they need.
std::optional<std::vector<uint8_t>> ParseHex(std::string_view text);

// Four 7-bit ASCII characters, as the SMC names its keys.
bool IsSMCKey(std::string_view key);

// The bytes as a little-endian unsigned number (at most 8 bytes count).
uint64_t LittleEndianValue(const std::vector<uint8_t>& bytes);

}  // namespace ampervale::sim

#endif  // AMPERVALE_SIM_HEX_H_
