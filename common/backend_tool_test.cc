#include "common/backend_tool.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
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

// Started with standard input, output and error closed, a program opens
// three files and fails: the error line must reach none of them.
TEST(BackendToolTest, ClosedStandardDescriptorsTakeNoFile) {
  char folder[] = "/tmp/ampervale-descriptors-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(folder));
  const std::string file = std::string(folder) + "/f";
  const pid_t child = fork();
  if (child == 0) {
    for (int standard = 0; standard <= 2; ++standard) close(standard);
    const char* argv[] = {"tool", nullptr};
    _exit(NativeBackendTool::main(1, argv, [&](const Arguments&) {
      for (const char* name : {"0", "1", "2"}) {
        open((file + name).c_str(), O_RDWR | O_CREAT, 0600);
      }
      throw NativeControlError("Closed descriptors");
    }));
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_EQ(1, WEXITSTATUS(status));
  EXPECT_EQ(0u, std::filesystem::file_size(file + "2"));
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace ampervale
