#include "common/backend_tool.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <system_error>

#include "common/native_control_error.h"

namespace ampervale {
namespace {

using NativeBackendTool::Arguments;

TEST(BackendToolTest, DropsTheProgramName) {
  const char* argv[] = {"ampkey", "-k", "ACLC"};
  EXPECT_EQ((Arguments{"-k", "ACLC"}), NativeBackendTool::ArgumentsOf(3, argv));
  EXPECT_EQ(Arguments{}, NativeBackendTool::ArgumentsOf(1, argv));
  EXPECT_EQ(Arguments{}, NativeBackendTool::ArgumentsOf(0, nullptr));
}

TEST(BackendToolTest, ExitStatusAndErrorLine) {
  static const struct {
    const char* name;
    NativeBackendTool::Tool tool;
    int status;
    const char* err;
  } cases[] = {
      {"returns", [](const Arguments&) {}, 0, ""},
      {"native error",
       [](const Arguments&) { throw NativeControlError("Missing -k KEY"); }, 1,
       "Missing -k KEY\n"},
      {"file error",
       [](const Arguments&) {
         throw std::system_error(ENOENT, std::generic_category(),
                                 "policy.json");
       },
       1, "policy.json: No such file or directory\n"},
      {"multi-line error is one line",
       [](const Arguments&) { throw std::runtime_error("bad\ninput"); }, 1,
       "bad input\n"},
      {"not an exception", [](const Arguments&) { throw 42; }, 1,
       "Unexpected failure\n"},
  };
  for (const auto& c : cases) {
    std::ostringstream err;
    EXPECT_EQ(c.status, NativeBackendTool::run({}, c.tool, err)) << c.name;
    EXPECT_EQ(c.err, err.str()) << c.name;
  }
}

}  // namespace
}  // namespace ampervale
