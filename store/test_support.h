#ifndef AMPERVALE_STORE_TEST_SUPPORT_H_
#define AMPERVALE_STORE_TEST_SUPPORT_H_

// Real files, pipes and processes for the store's tests.

#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>

namespace ampervale::testing {

// A fresh directory under /tmp, removed with everything in it at the end.
// Its path is the real one: on a Mac /tmp is a symbolic link, which the
// store rightly refuses as a parent.
class ScratchDirectory {
 public:
  ScratchDirectory() {
    char pattern[] = "/tmp/ampervale-store-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = std::filesystem::canonical(pattern);
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline void WriteFile(const std::filesystem::path& path,
                      const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ostringstream content;
  content << std::ifstream(path, std::ios::binary).rdbuf();
  return content.str();
}

// Permission bits, or -1 when the entry is missing.
inline int ModeOf(const std::filesystem::path& path) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) return -1;
  return static_cast<int>(status.st_mode & 07777);
}

// What `action` throws, or "(nothing thrown)".
template <typename Action>
std::string ThrownText(Action&& action) {
  try {
    action();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "(nothing thrown)";
}

// One-byte messages between processes, so that tests are sequenced by
// events instead of sleeps.
class Pipe {
 public:
  Pipe() {
    if (pipe(ends_) != 0) throw std::runtime_error("pipe");
  }
  ~Pipe() {
    close(ends_[0]);
    close(ends_[1]);
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  void send(char message) const {
    if (write(ends_[1], &message, 1) != 1) throw std::runtime_error("write");
  }
  // Waits for the next message; '\0' when every writer is gone.
  char receive() const {
    char message = '\0';
    return read(ends_[0], &message, 1) == 1 ? message : '\0';
  }
  bool hasMessage() const {
    pollfd reader{ends_[0], POLLIN, 0};
    return poll(&reader, 1, 0) == 1;
  }

 private:
  int ends_[2] = {-1, -1};
};

// Runs `body` in a child process, which exits with body's result, or 99 when
// it throws.
inline pid_t StartChild(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  int status = 99;
  try {
    status = body();
  } catch (...) {
  }
  _exit(status);
}

// The child's exit status, or 128 plus the signal that ended it.
inline int WaitForChild(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace ampervale::testing

#endif  // AMPERVALE_STORE_TEST_SUPPORT_H_
