#include "tools/ampctl/install.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "store/test_support.h"

namespace ampervale {
namespace {

using testing::ModeOf;
using testing::ReadFile;
using testing::ThrownText;

TEST(InstallTest, PathsAreStandardisedWithoutResolvingLinks) {
  const std::string kBin = "/Library/Application Support/Ampervale/bin";
  static const struct {
    std::string path;
    std::string cwd;
    bool installed;
  } cases[] = {
      {kInstalledBackendPath, "/", true},
      {kBin + "/../bin/ampctl", "/tmp", true},
      {"ampctl", kBin, true},
      {"bin/ampctl", "/Library/Application Support/Ampervale", true},
      {"//Library/Application Support/Ampervale/bin/ampctl", "/", true},
      {"ampctl", "/usr/local/bin", false},
      {"/Library/Application Support/Ampervale/ampctl", "/", false},
      {"", kBin, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.installed,
              StandardizedPath(c.path, c.cwd) == kInstalledBackendPath)
        << c.path << " in " << c.cwd;
  }
}

TEST(InstallTest, ReplacesTheJobWithMode0644) {
  testing::ScratchDirectory scratch;
  std::filesystem::path job = scratch.path() / "chargelimitd.plist";
  testing::WriteFile(job, "old content");
  chmod(job.c_str(), 0600);
  for (int run = 0; run < 2; ++run) {
    std::ostringstream out;
    NativeBackendTool::installDaemon(kInstalledBackendPath, out, job);
    EXPECT_EQ(
        "Native charging daemon configured at the existing backend path\n",
        out.str());
    EXPECT_EQ(JobDescriptionXML(), ReadFile(job));
    EXPECT_EQ(0644, ModeOf(job));
  }
}

// An independent reader sees exactly the five entries with their types.
TEST(InstallTest, JobDescriptionReadsBackInAnotherPropertyListReader) {
  testing::ScratchDirectory scratch;
  std::filesystem::path job = scratch.path() / "job.plist";
  testing::WriteFile(job, JobDescriptionXML());
  std::string command =
      "python3 -c 'import plistlib,sys; d=plistlib.load(open(sys.argv[1],"
      "\"rb\")); print(sorted((k, type(v).__name__, v) for k, v in "
      "d.items()))' " +
      job.string();
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(nullptr, pipe);
  char buffer[1024];
  std::string output;
  while (fgets(buffer, sizeof buffer, pipe)) output += buffer;
  ASSERT_EQ(0, pclose(pipe)) << output;
  EXPECT_EQ(
      "[('KeepAlive', 'bool', True), ('Label', 'str', 'chargelimitd'), "
      "('ProgramArguments', 'list', ['/Library/Application "
      "Support/Ampervale/bin/ampctl', 'daemon']), ('RunAtLoad', 'bool', "
      "True), ('ThrottleInterval', 'int', 5)]\n",
      output);
}

}  // namespace
}  // namespace ampervale
