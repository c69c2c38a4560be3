#include "sim/listening_socket.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "store/test_support.h"

namespace ampervale::sim {
namespace {

namespace fs = std::filesystem;

// A socket folder others can change is refused; in a safe one (a sticky
// one too), a link put in the socket's place is never followed. A socket
// nobody listens on is replaced, a live one never.
TEST(ListeningSocketTest, ChangesNothingThroughAPathOthersCanSteer) {
  const testing::ScratchDirectory scratch;
  const fs::path folder = scratch.path() / "sim", victim = folder / "v";
  const std::string socket = folder / "smc.sock";
  static const struct {
    fs::perms folderMode;
    const char* error;  // after the folder's path; "" for none
  } cases[] = {{fs::perms::all, " is writable by other users"},
               {fs::perms::all | fs::perms::sticky_bit, ""},
               {fs::perms::owner_all, ""}};
  for (const auto& c : cases) {
    fs::remove_all(folder), fs::create_directory(folder);
    fs::permissions(folder, c.folderMode);
    const std::string error = testing::ThrownText([&] {
      ListeningSocket listener(socket, false);
      std::ofstream(victim) << "secret";
      fs::permissions(victim, fs::perms::owner_read);
      fs::rename(socket, folder / "moved");
      fs::create_symlink(victim, socket);
      listener.SetPrivate(true), listener.SetPrivate(false);
    });
    EXPECT_EQ(*c.error ? "Socket folder is unsafe: " + folder.native() + c.error
                       : "(nothing thrown)",
              error);
    EXPECT_TRUE(*c.error ||
                fs::status(victim).permissions() == fs::perms::owner_read)
        << error;
  }
  // The last one's socket, moved aside, is left by a simulator now gone.
  fs::rename(folder / "moved", socket);
  ListeningSocket listener(socket, true);  // its user's alone, or anyone's
  EXPECT_EQ("Another simulator is serving " + socket,
            testing::ThrownText([&] { ListeningSocket again(socket, false); }));
  auto mode = [&] { return std::to_string(testing::ModeOf(socket)); };
  std::string modes = mode();
  listener.SetPrivate(false), modes += " " + mode();
  listener.SetPrivate(true);
  EXPECT_EQ("384 438 384", modes + " " + mode());
}

// Clients reach the socket by its path: a link on it is followed only when
// root or the user running the simulator owns it, in a folder that passes,
// since nobody else can then point it elsewhere.
TEST(ListeningSocketTest, FollowsOnlyLinksNobodyElseCanRepoint) {
  const testing::ScratchDirectory scratch;
  const fs::path links = scratch.path() / "links", link = links / "sim";
  fs::create_directory(scratch.path() / "real"), fs::create_directory(links);
  fs::permissions(links, fs::perms::all | fs::perms::sticky_bit);
  fs::create_directory_symlink("../real", link);
  for (const uid_t owner : {geteuid(), 12345u}) {
    if (owner != geteuid() && geteuid() != 0) continue;
    lchown(link.c_str(), owner, owner);
    EXPECT_EQ(owner == geteuid()
                  ? "(nothing thrown)"
                  : "Socket folder is unsafe: " + link.native() +
                        " is a symbolic link owned by user 12345",
              testing::ThrownText([&] {
                ListeningSocket listener(link / "smc.sock", false);
                EXPECT_TRUE(fs::is_socket(scratch.path() / "real/smc.sock"));
              }));
  }
}

}  // namespace
}  // namespace ampervale::sim
