#include "tests/e2e/sandbox.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/simulator_socket.h"

namespace ampervale::e2e {

namespace fs = std::filesystem;

std::string BuiltProgram(const std::string& name) {
  return std::string(AMPERVALE_BIN_DIR) + "/" + name;
}

int WaitFor(pid_t pid, int limit_seconds) {
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(limit_seconds);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) kill(pid, SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

Sandbox::Sandbox() : root_("/tmp/ampervale-e2e-XXXXXX") {
  if (mkdtemp(root_.data()) == nullptr) throw std::runtime_error("mkdtemp");
  library_ = root_ + "/Library";
  socket_ = root_ + "/sim/smc.sock";
  for (const char* folder : {"/Library", "/sim", "/logs"}) {
    fs::create_directories(root_ + folder);
  }
}

Sandbox::~Sandbox() {
  for (pid_t pid : started_) {
    // Only a child still running: the pid of one already waited for may
    // belong to another process by now.
    if (waitpid(pid, nullptr, WNOHANG) == 0) kill(pid, SIGKILL);
    WaitFor(pid, 10);
  }
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

void Sandbox::StartSimulator() {
  started_.push_back(
      Spawn({BuiltProgram("ampsim"), "serve", "--socket", socket_}, "ampsim",
            std::nullopt));
  for (int attempt = 0; attempt < 1000; ++attempt) {
    if (platform::SimulatorSocket().Connect(socket_) == 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  throw std::runtime_error("ampsim did not start: " +
                           ReadWholeFile(logs() + "ampsim.err"));
}

ProcessResult Sandbox::Simulator(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin() + 1, {"--socket", socket_});
  arguments.insert(arguments.begin(), BuiltProgram("ampsim"));
  return Finish(Spawn(arguments, "sim", std::nullopt), "sim");
}

ProcessResult Sandbox::Run(std::vector<std::string> argv, uid_t uid) {
  return Finish(Spawn(std::move(argv), "run", uid), "run");
}

pid_t Sandbox::Start(const std::string& log, std::vector<std::string> argv) {
  started_.push_back(Spawn(std::move(argv), log, kRoot));
  return started_.back();
}

pid_t Sandbox::Spawn(std::vector<std::string> argv, const std::string& log,
                     std::optional<uid_t> uid) {
  if (uid) {
    std::string id = std::to_string(*uid);
    if (argv[0].front() != '/') argv[0] = BuiltProgram(argv[0]);
    // clang-format off
    argv.insert(argv.begin(), {
        "bwrap", "--unshare-user", "--uid", id, "--gid", id,
        "--die-with-parent",
        "--ro-bind", "/usr", "/usr", "--ro-bind", "/etc", "/etc",
        "--symlink", "usr/lib", "/lib", "--symlink", "usr/lib64", "/lib64",
        "--symlink", "usr/bin", "/bin", "--symlink", "usr/sbin", "/sbin",
        "--dev", "/dev", "--proc", "/proc", "--tmpfs", "/tmp",
        "--bind", library_, "/Library",
        "--bind", root_ + "/sim", "/run/ampervale-sim",
        "--ro-bind", AMPERVALE_BIN_DIR, AMPERVALE_BIN_DIR,
        "--setenv", platform::kSimulatorVariable,
        "/run/ampervale-sim/smc.sock", "--chdir", "/", "--"});
    // clang-format on
  }
  std::vector<char*> args;
  for (auto& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    int out = creat((logs() + log + ".out").c_str(), 0644);
    int err = creat((logs() + log + ".err").c_str(), 0644);
    if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
    for (int fd : {in, out, err}) close(fd);
    execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

ProcessResult Sandbox::Finish(pid_t pid, const std::string& log) const {
  return {WaitFor(pid), ReadWholeFile(logs() + log + ".out"),
          ReadWholeFile(logs() + log + ".err")};
}

}  // namespace ampervale::e2e
