#include "tests/e2e/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace ampervale::e2e {

namespace {

void RedirectOrDie(const std::string& path, int target) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || dup2(fd, target) < 0) _exit(127);
  close(fd);
}

}  // namespace

pid_t Spawn(const std::vector<std::string>& argv, const std::string& out_path,
            const std::string& err_path) {
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int null = open("/dev/null", O_RDONLY);
    dup2(null, STDIN_FILENO);
    RedirectOrDie(out_path, STDOUT_FILENO);
    RedirectOrDie(err_path, STDERR_FILENO);
    execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

int WaitFor(pid_t pid, int limit_seconds) {
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(limit_seconds);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

ProcessResult RunToCompletion(const std::vector<std::string>& argv,
                              const std::string& logs) {
  ProcessResult result;
  result.status = WaitFor(Spawn(argv, logs + ".out", logs + ".err"));
  result.out = ReadWholeFile(logs + ".out");
  result.err = ReadWholeFile(logs + ".err");
  return result;
}

}  // namespace ampervale::e2e
