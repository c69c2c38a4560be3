#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>

#include "tools/ampctl/power_tool.h"
#include "tools/ampctl/tool_test_support.h"

namespace ampervale {
namespace {

using Words = std::set<std::string>;

TEST(ManPageTest, DescribesEveryCommandTheDispatcherAccepts) {
  std::ifstream page(AMPERVALE_SOURCE_DIR "/man/ampctl.8");
  ASSERT_TRUE(page.is_open());
  std::vector<Words> items;
  for (std::string line; std::getline(page, line);) {
    // The words an item of the page shows: "Cm adapter enable | disable"
    // shows "adapter", "enable" and "disable"; "Fl x" shows "-x". Macro names
    // such as "Cm" are shown too; no command uses them as words.
    if (line.rfind(".It ", 0) != 0) continue;
    std::istringstream words(
        std::regex_replace(line.substr(4), std::regex("Fl "), "-"));
    items.push_back(Words(std::istream_iterator<std::string>(words), {}));
  }
  for (const auto& command : NativeBackendTool::commandWordLists()) {
    EXPECT_TRUE(std::ranges::any_of(items, [&](const Words& shown) {
      return std::ranges::all_of(command, [&](const std::string& word) {
        return shown.contains(word);
      });
    })) << ::testing::PrintToString(command);
  }
}

}  // namespace
}  // namespace ampervale
