#include "tests/e2e/sandbox.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "platform/simulator_socket.h"
#include "tests/e2e/process.h"

namespace ampervale::e2e {

namespace fs = std::filesystem;

namespace {

constexpr char kSocketDirInside[] = "/run/ampervale-sim";
constexpr char kSocketName[] = "smc.sock";

std::string MakeTemporaryRoot() {
  std::string pattern = "/tmp/ampervale-e2e-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  return pattern;
}

}  // namespace

std::string BuiltProgram(const std::string& name) {
  return std::string(AMPERVALE_BIN_DIR) + "/" + name;
}

Sandbox::Sandbox()
    : root_(MakeTemporaryRoot()),
      library_(root_ + "/Library"),
      socket_dir_(root_ + "/sim") {
  fs::create_directories(library_);
  fs::create_directories(socket_dir_);
  fs::create_directories(root_ + "/logs");
}

Sandbox::~Sandbox() {
  for (pid_t pid : background_) {
    if (pid <= 0) continue;
    kill(pid, SIGKILL);
    WaitFor(pid, 10);
  }
  StopSimulator();
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

void Sandbox::StartSimulator(const std::vector<std::string>& arguments) {
  std::string socket_path = socket_dir_ + "/" + kSocketName;
  std::vector<std::string> argv = {BuiltProgram("ampsim"), "serve", "--socket",
                                   socket_path};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  simulator_ =
      Spawn(argv, root_ + "/logs/ampsim.out", root_ + "/logs/ampsim.err");
  for (int attempt = 0; attempt < 1000; ++attempt) {
    if (platform::SimulatorSocket().Connect(socket_path) == 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  throw std::runtime_error("ampsim did not start: " +
                           ReadWholeFile(root_ + "/logs/ampsim.err"));
}

void Sandbox::StopSimulator() {
  if (simulator_ < 0) return;
  kill(simulator_, SIGTERM);
  WaitFor(simulator_, 10);
  simulator_ = -1;
}

ProcessResult Sandbox::Simulator(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {BuiltProgram("ampsim")};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  argv.insert(argv.begin() + 2, {"--socket", socket_dir_ + "/" + kSocketName});
  return RunToCompletion(argv, root_ + "/logs/sim-client");
}

void Sandbox::InstallAmpctl() {
  fs::path bin = library_ + "/Application Support/Ampervale/bin";
  fs::create_directories(bin);
  fs::copy_file(BuiltProgram("ampctl"), bin / "ampctl",
                fs::copy_options::overwrite_existing);
}

std::vector<std::string> Sandbox::SandboxCommand(
    const std::string& program, const std::vector<std::string>& arguments,
    uid_t uid) const {
  std::string id = std::to_string(uid);
  std::string inside = program.front() == '/' ? program : BuiltProgram(program);
  // clang-format off
  std::vector<std::string> argv = {
      "bwrap", "--unshare-user", "--uid", id, "--gid", id, "--die-with-parent",
      "--ro-bind", "/usr", "/usr", "--ro-bind", "/etc", "/etc",
      "--symlink", "usr/lib", "/lib", "--symlink", "usr/lib64", "/lib64",
      "--symlink", "usr/bin", "/bin", "--symlink", "usr/sbin", "/sbin",
      "--dev", "/dev", "--proc", "/proc", "--tmpfs", "/tmp",
      "--bind", library_, "/Library",
      "--bind", socket_dir_, kSocketDirInside,
      "--ro-bind", AMPERVALE_BIN_DIR, AMPERVALE_BIN_DIR,
      "--setenv", "AMPERVALE_SIMULATOR",
      std::string(kSocketDirInside) + "/" + kSocketName,
      "--chdir", "/", "--", inside};
  // clang-format on
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return argv;
}

ProcessResult Sandbox::Run(const std::string& program,
                           const std::vector<std::string>& arguments,
                           uid_t uid) {
  return RunToCompletion(SandboxCommand(program, arguments, uid),
                         root_ + "/logs/run");
}

pid_t Sandbox::Start(const std::string& program,
                     const std::vector<std::string>& arguments, uid_t uid) {
  std::string logs = root_ + "/logs/bg-" + std::to_string(background_.size());
  pid_t pid = Spawn(SandboxCommand(program, arguments, uid), logs + ".out",
                    logs + ".err");
  background_.push_back(pid);
  return pid;
}

std::string Sandbox::BackgroundErr(pid_t pid) const {
  for (size_t i = 0; i < background_.size(); ++i) {
    if (background_[i] == pid && pid > 0) {
      return ReadWholeFile(root_ + "/logs/bg-" + std::to_string(i) + ".err");
    }
  }
  return "";
}

}  // namespace ampervale::e2e
