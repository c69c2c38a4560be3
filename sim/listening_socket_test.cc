#include "sim/listening_socket.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace ampervale::sim {
namespace {

namespace fs = std::filesystem;

int ModeOf(const fs::path& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : -1;
}

// A socket folder others can change is refused; in a safe one, a link put
// in the socket's place is not followed when the mode changes.
TEST(ListeningSocketTest, ChangesNothingThroughAPathOthersCanSteer) {
  char scratch[] = "/tmp/ampervale-socket-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(scratch));
  const fs::path folder = fs::path(scratch) / "sim", victim = folder / "v";
  static const struct {
    int folderMode;
    const char* error;  // after the folder's path; "" for none
  } cases[] = {
      {0777, " is writable by other users"},
      {01777, ""},
      {0700, ""},
  };
  for (const auto& c : cases) {
    fs::remove_all(folder);
    ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
    chmod(folder.c_str(), c.folderMode);
    const std::string socket = (folder / "smc.sock").native();
    std::string error;
    try {
      ListeningSocket listener(socket, false);
      EXPECT_EQ(0666, ModeOf(socket)) << c.folderMode;
      std::ofstream(victim) << "secret";
      chmod(victim.c_str(), 0600);
      fs::rename(socket, folder / "moved");
      fs::create_symlink(victim, socket);
      listener.SetPrivate(true);
      listener.SetPrivate(false);
      EXPECT_EQ(0600, ModeOf(victim)) << c.folderMode;
      EXPECT_FALSE(listener.is_private()) << c.folderMode;
    } catch (const std::exception& thrown) {
      error = thrown.what();
    }
    EXPECT_EQ(
        *c.error ? "Socket folder is unsafe: " + folder.native() + c.error : "",
        error)
        << c.folderMode;
    EXPECT_TRUE(fs::is_symlink(socket) || *c.error) << c.folderMode;
  }
  fs::remove_all(scratch);
}

}  // namespace
}  // namespace ampervale::sim
