#include "store/record_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "store/file_system_error.h"
#include "store/test_support.h"

namespace ampervale {
namespace {

using testing::ModeOf;
using testing::ReadFile;
using testing::ScratchDirectory;
using testing::ThrownText;
using testing::WriteFile;

class RecordFileTest : public ::testing::Test {
 protected:
  std::string pathOf(const char* name) const { return dir_.path() / name; }

  ScratchDirectory dir_;
  RecordPaths paths_{dir_.path(), "policy.json"};
};

TEST_F(RecordFileTest, ReadsWholeFilesAndReportsMissingOnes) {
  std::string content = "stale";
  EXPECT_FALSE(ReadRecordFile(paths_.file, content));
  WriteFile(paths_.file, "");
  ASSERT_TRUE(ReadRecordFile(paths_.file, content));
  EXPECT_EQ("", content);
  const std::string largest(kMaxRecordFileSize, 'x');
  WriteFile(paths_.file, largest);
  ASSERT_TRUE(ReadRecordFile(paths_.file, content));
  EXPECT_EQ(largest, content);
}

TEST_F(RecordFileTest, ErrorsCarryTheSystemCode) {
  WriteFile(pathOf("large"), std::string(kMaxRecordFileSize + 1, ' '));
  std::string content;
  try {
    ReadRecordFile(pathOf("large"), content);
    ADD_FAILURE() << "read an oversized file";
  } catch (const std::system_error& error) {
    EXPECT_EQ(std::errc::file_too_large, error.code());
  }
}

TEST_F(RecordFileTest, ReplacesWithAPrivateFileAndLeavesNoTemporary) {
  for (const Durability durability :
       {Durability::kAtomic, Durability::kFlushed}) {
    WriteFile(paths_.file, "old");
    ReplaceRecordFile(paths_, "{\"upperLimit\":80}", durability);
    EXPECT_EQ("{\"upperLimit\":80}", ReadFile(paths_.file));
    EXPECT_EQ(0600, ModeOf(paths_.file));
    EXPECT_EQ(-1, ModeOf(paths_.temporary));
  }
}

// A writer that crashed left its temporary behind; it must neither block
// later writes nor be written through.
TEST_F(RecordFileTest, ReplacesLeftoverTemporaries) {
  WriteFile(pathOf("elsewhere"), "keep");
  const auto leaveRegularFile = [&] { WriteFile(paths_.temporary, "{\"up"); };
  const auto leaveSymlink = [&] {
    ASSERT_EQ(0,
              symlink(pathOf("elsewhere").c_str(), paths_.temporary.c_str()));
  };
  for (const auto& leaveTemporary : {std::function<void()>(leaveRegularFile),
                                     std::function<void()>(leaveSymlink)}) {
    leaveTemporary();
    ReplaceRecordFile(paths_, "{}", Durability::kFlushed);
    EXPECT_EQ("{}", ReadFile(paths_.file));
    EXPECT_EQ(0600, ModeOf(paths_.file));
    EXPECT_EQ(-1, ModeOf(paths_.temporary));
  }
  EXPECT_EQ("keep", ReadFile(pathOf("elsewhere")));
}

TEST_F(RecordFileTest, AFailedReplacementKeepsTheOldContent) {
  WriteFile(paths_.file, "old");
  ASSERT_EQ(0, mkdir(paths_.temporary.c_str(), 0700));
  EXPECT_EQ("Cannot create " + paths_.temporary.native() + ": Is a directory",
            ThrownText([&] {
              ReplaceRecordFile(paths_, "new", Durability::kFlushed);
            }));
  EXPECT_EQ("old", ReadFile(paths_.file));

  const RecordPaths intoDirectory(dir_.path(), "directory");
  ASSERT_EQ(0, mkdir(intoDirectory.file.c_str(), 0700));
  EXPECT_EQ(
      "Cannot replace " + intoDirectory.file.native() + ": Is a directory",
      ThrownText([&] {
        ReplaceRecordFile(intoDirectory, "new", Durability::kAtomic);
      }));
  EXPECT_EQ(-1, ModeOf(intoDirectory.temporary));
}

}  // namespace
}  // namespace ampervale
