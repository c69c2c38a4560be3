#include "store/record_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "store/file_descriptor.h"
#include "store/test_support.h"

namespace ampervale {
namespace {

class RecordFileTest : public ::testing::Test {
 protected:
  testing::ScratchDirectory dir_;
  RecordPaths paths_{dir_.path(), "policy.json"};
  std::filesystem::path elsewhere_ = dir_.path() / "elsewhere";
};

// A FIFO would make a plain open wait forever; a symbolic link could point
// anywhere.
TEST_F(RecordFileTest, ReadsOnlyWholeRegularFiles) {
  const FileDescriptor directory(open(dir_.path().c_str(), O_RDONLY));
  std::string content;
  EXPECT_FALSE(ReadRecordFile(directory.get(), paths_, content));
  const std::string largest(kMaxRecordFileSize, 'x');
  testing::WriteFile(paths_.file, largest);
  ASSERT_TRUE(ReadRecordFile(directory.get(), paths_, content));
  EXPECT_EQ(largest, content);
  const std::string refused = "Cannot read " + paths_.file.native() + ": ";
  const auto read = [&] {
    return testing::ThrownText(
        [&] { ReadRecordFile(directory.get(), paths_, content); });
  };
  testing::WriteFile(paths_.file, largest + "x");
  EXPECT_EQ(refused + "larger than 65536 bytes", read());
  std::filesystem::remove(paths_.file);
  ASSERT_EQ(0, mkfifo(paths_.file.c_str(), 0600));
  EXPECT_EQ(refused + "not a regular file", read());
  std::filesystem::remove(paths_.file);
  ASSERT_EQ(0, symlink(elsewhere_.c_str(), paths_.file.c_str()));
  EXPECT_EQ(refused + "Too many levels of symbolic links", read());
}

// A writer that crashed left its temporary behind, perhaps a symbolic link
// planted there: it must neither block later writes nor be written through.
TEST_F(RecordFileTest, ReplacesPrivatelyOverLeftoverTemporaries) {
  testing::WriteFile(elsewhere_, "keep");
  const std::function<void()> leftovers[] = {
      [] {},
      [&] { testing::WriteFile(paths_.temporary, "{\"up"); },
      [&] { symlink(elsewhere_.c_str(), paths_.temporary.c_str()); },
  };
  for (const auto& leave : leftovers) {
    testing::WriteFile(paths_.file, "old");
    leave();
    ReplaceRecordFile(paths_, "{\"upperLimit\":80}", Durability::kFlushed);
    EXPECT_EQ("{\"upperLimit\":80}", testing::ReadFile(paths_.file));
    EXPECT_EQ(0600, testing::ModeOf(paths_.file));
    EXPECT_EQ(-1, testing::ModeOf(paths_.temporary));
  }
  EXPECT_EQ("keep", testing::ReadFile(elsewhere_));
}

}  // namespace
}  // namespace ampervale
