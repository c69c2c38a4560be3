#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>
#include <sstream>

#include "tools/ampctl/power_tool.h"
#include "tools/ampctl/tool_test_support.h"

namespace ampervale {
namespace {

using NativeBackendTool::Arguments;
using Words = std::set<std::string>;

// The words an item of the page shows: "Cm adapter enable | disable" shows
// "adapter", "enable" and "disable"; "Fl x" shows "-x". Macro names are
// words like "Cm" and "Op".
Words ShownWords(const std::string& item) {
  std::istringstream words(item);
  Words shown;
  bool flag = false;
  for (std::string word; words >> word;) {
    if (word.size() <= 3 && std::isupper(word[0]) && std::islower(word[1])) {
      flag = word == "Fl";
    } else if (word != "|") {
      shown.insert((flag ? "-" : "") + word);
    }
  }
  return shown;
}

TEST(ManPageTest, DescribesEveryCommandTheDispatcherAccepts) {
  std::ifstream page(AMPERVALE_SOURCE_DIR "/man/ampctl.8");
  ASSERT_TRUE(page.is_open());
  std::vector<Words> items;
  for (std::string line; std::getline(page, line);) {
    if (line.rfind(".It ", 0) == 0) items.push_back(ShownWords(line.substr(4)));
  }
  for (const Arguments& command : NativeBackendTool::commandWordLists()) {
    EXPECT_TRUE(std::ranges::any_of(items, [&](const Words& shown) {
      return std::ranges::all_of(command, [&](const std::string& word) {
        return shown.contains(word);
      });
    })) << testing::Joined(command);
  }
}

}  // namespace
}  // namespace ampervale
