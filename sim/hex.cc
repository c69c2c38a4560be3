#include "sim/hex.h"

#include <algorithm>
#include <cstdio>

#include "common/hex.h"

namespace ampervale::sim {

std::string ToHex(const std::vector<uint8_t>& bytes) {
  return HexString(bytes);
}

std::optional<std::vector<uint8_t>> ParseHex(std::string_view text) {
  std::vector<uint8_t> bytes;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    if (i + 1 >= text.size()) return std::nullopt;
    int high = HexDigitValue(text[i]);
    int low = HexDigitValue(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(high * 16 + low));
    i += 2;
  }
  return bytes;
}

bool IsSMCKey(std::string_view key) {
  return key.size() == 4 && std::all_of(key.begin(), key.end(), [](char c) {
           return static_cast<unsigned char>(c) < 0x80;
         });
}

uint64_t LittleEndianValue(const std::vector<uint8_t>& bytes) {
  uint64_t value = 0;
  size_t count = std::min<size_t>(bytes.size(), 8);
  for (size_t i = count; i > 0; --i) value = (value << 8) | bytes[i - 1];
  return value;
}

}  // namespace ampervale::sim
