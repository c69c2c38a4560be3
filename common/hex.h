#ifndef AMPERVALE_COMMON_HEX_H_
#define AMPERVALE_COMMON_HEX_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace ampervale {

// Two lower-case hex digits per byte, as "%02x" writes them, joined by
// `separator`: {0x12, 0xab} gives "12ab", or "12 ab" with " ".
std::string HexString(std::span<const uint8_t> bytes,
                      std::string_view separator = "");

// The value of one hex digit of either case, or -1.
int HexDigitValue(char c);

}  // namespace ampervale

#endif  // AMPERVALE_COMMON_HEX_H_
