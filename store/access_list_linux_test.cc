#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>

#include "store/access_list.h"

namespace ampervale {
namespace {

// The attribute's bytes: a version word, then per entry a tag, its
// permissions and an id (12345 in every entry here).
std::string List(std::initializer_list<std::pair<uint64_t, uint64_t>> list) {
  std::string bytes("\2\0\0\0", 4);
  for (const auto& [tag, permissions] : list) {
    const uint64_t entry = tag | permissions << 16 | uint64_t{12345} << 32;
    for (int at = 0; at < 64; at += 8) bytes += static_cast<char>(entry >> at);
  }
  return bytes;
}

// Only a list as the kernel makes it is judged. Two masks, an unknown tag
// or permission, tags out of the kernel's order, a cut entry or another
// version make one whose meaning is a guess, even where the guess (the last
// mask, tags skipped or sorted) would shut others out.
TEST(AccessListTest, RefusesListsTheKernelNeverMakes) {
  const std::string masked = List({{1, 7}, {2, 7}, {4, 5}, {16, 5}, {32, 5}});
  EXPECT_EQ("", PosixAccessListReason(masked));
  for (const std::string& list :
       {List({{1, 7}, {2, 7}, {4, 5}, {16, 7}, {16, 5}, {32, 5}}),
        List({{1, 7}, {4, 5}, {64, 7}, {32, 5}}),
        List({{1, 7}, {4, 13}, {32, 5}}), List({{1, 7}, {32, 5}, {4, 5}}),
        masked.substr(0, masked.size() - 1), "\3" + masked.substr(1)}) {
    EXPECT_EQ(kUnknownAccessList, PosixAccessListReason(list))
        << ::testing::PrintToString(list);
  }
}

}  // namespace
}  // namespace ampervale
