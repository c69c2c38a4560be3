#include "common/backend_tool.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "common/native_control_error.h"
#include "store/test_support.h"

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
  };
  for (const auto& c : cases) {
    std::ostringstream err;
    EXPECT_EQ(c.status, NativeBackendTool::run({}, c.tool, err)) << c.err;
    EXPECT_EQ(c.err, err.str());
  }
}

// Started with standard input, output and error closed, a program opens
// three files and fails: the error line must reach none of them.
TEST(BackendToolTest, ClosedStandardDescriptorsTakeNoFile) {
  testing::ScratchDirectory folder;
  const std::string file = (folder.path() / "f").native();
  const pid_t child = testing::StartChild([&] {
    for (int standard = 0; standard <= 2; ++standard) close(standard);
    const char* argv[] = {"tool", nullptr};
    return NativeBackendTool::main(1, argv, [&](const Arguments&) {
      for (const char* name : {"0", "1", "2"})
        open((file + name).c_str(), O_RDWR | O_CREAT, 0600);
      throw NativeControlError("Closed descriptors");
    });
  });
  EXPECT_EQ(1, testing::WaitForChild(child));
  for (const char* name : {"0", "1", "2"})
    EXPECT_EQ(0u, std::filesystem::file_size(file + name)) << name;
}

// What nobody reads is still written: to "/dev/null", without a failure.
TEST(BackendToolTest, ClosedStandardOutputIsNoFailure) {
  EXPECT_EQ(0, testing::WaitForChild(testing::StartChild([] {
              close(STDOUT_FILENO);
              const char* argv[] = {"ampctl", "version"};
              return NativeBackendTool::main(2, argv, [](const Arguments&) {
                std::cout << "Ampervale native backend 1.0.0\n";
              });
            })));
}

// The reader of standard output is gone before anything is written.
TEST(BackendToolTest, AClosedPipeIsAFailureNotASignal) {
  int out[2], err[2];
  ASSERT_EQ(0, pipe(out) | pipe(err));
  close(out[0]);
  const pid_t child = testing::StartChild([&] {
    dup2(out[1], STDOUT_FILENO), dup2(err[1], STDERR_FILENO);
    const char* argv[] = {"ampctl", "version"};
    return NativeBackendTool::main(2, argv, [](const Arguments&) {
      std::cout << "Ampervale native backend 1.0.0\n";
    });
  });
  close(out[1]), close(err[1]);
  EXPECT_EQ(1, testing::WaitForChild(child));
  char text[64] = {};
  EXPECT_EQ(32, read(err[0], text, sizeof text));  // the pipe holds it all
  EXPECT_STREQ("Cannot write to standard output\n", text);
  close(err[0]);
}

}  // namespace
}  // namespace ampervale
