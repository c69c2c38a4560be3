#include "common/backend_tool.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <stdexcept>

#include "common/native_control_error.h"

namespace ampervale {
namespace {

using NativeBackendTool::Arguments;

TEST(BackendToolTest, ExitStatusAndOneErrorLine) {
  static const struct {
    NativeBackendTool::Tool tool;
    int status;
    const char* err;
  } cases[] = {
      {[](const Arguments&) {}, 0, ""},
      {[](const Arguments&) { throw NativeControlError("Missing -k KEY"); }, 1,
       "Missing -k KEY\n"},
      {[](const Arguments&) { throw std::runtime_error("bad\ninput\r"); }, 1,
       "bad input \n"},
      {[](const Arguments&) { throw 42; }, 1, "Unexpected failure\n"},
      // A result that never reached its reader.
      {[](const Arguments&) { std::cout.setstate(std::ios::badbit); }, 1,
       "Cannot write to standard output\n"},
  };
  for (const auto& c : cases) {
    std::ostringstream err;
    EXPECT_EQ(c.status, NativeBackendTool::run({}, c.tool, err)) << c.err;
    EXPECT_EQ(c.err, err.str());
    std::cout.clear();
  }
}

}  // namespace
}  // namespace ampervale
