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
// Each position of a command line, with the words it may hold.
using Slots = std::vector<std::set<std::string>>;

// What an item of the page shows: "Cm adapter enable | disable" is
// "adapter", then "enable" or "disable"; "Fl -x" shows "--x". Macro names
// are words like "Cm" and "Op".
Slots ShownSlots(const std::string& item) {
  std::istringstream words(item);
  Slots slots;
  bool flag = false;
  bool alternative = false;
  for (std::string word; words >> word;) {
    if (word == "|") {
      alternative = true;
    } else if (word.size() <= 3 && std::isupper(word[0]) &&
               std::islower(word[1])) {
      flag = word == "Fl";
    } else if (alternative && !slots.empty()) {
      slots.back().insert((flag ? "-" : "") + word);
      alternative = false;
    } else {
      slots.push_back({(flag ? "-" : "") + word});
    }
  }
  return slots;
}

// Optional words may follow the command's own.
bool Shows(const Slots& slots, const Arguments& command) {
  if (slots.size() < command.size()) return false;
  for (size_t i = 0; i < command.size(); ++i) {
    if (!slots[i].contains(command[i])) return false;
  }
  return true;
}

TEST(ManPageTest, DescribesEveryCommandTheDispatcherAccepts) {
  std::ifstream page(AMPERVALE_SOURCE_DIR "/man/ampctl.8");
  ASSERT_TRUE(page.is_open());
  std::vector<Slots> items;
  for (std::string line; std::getline(page, line);) {
    if (line.rfind(".It ", 0) == 0) items.push_back(ShownSlots(line.substr(4)));
  }
  for (const Arguments& command : NativeBackendTool::commandWordLists()) {
    EXPECT_TRUE(std::any_of(items.begin(), items.end(), [&](const Slots& s) {
      return Shows(s, command);
    })) << testing::Joined(command);
  }
}

}  // namespace
}  // namespace ampervale
