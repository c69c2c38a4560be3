#ifndef AMPERVALE_TESTS_E2E_SANDBOX_H_
#define AMPERVALE_TESTS_E2E_SANDBOX_H_

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/e2e/process.h"

namespace ampervale::e2e {

inline constexpr uid_t kRoot = 0;
inline constexpr uid_t kOrdinaryUser = 1000;

// The installed path of the backend inside the sandbox.
inline constexpr const char kInstalledAmpctl[] =
    "/Library/Application Support/Ampervale/bin/ampctl";

// A simulated Mac and a bubblewrap sandbox whose /Library is a temporary
// folder. The real programs run inside it as root or as an ordinary user of
// a user namespace; nothing touches the host's /Library. Everything started
// is stopped and the folder removed on destruction.
class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // Host path of the folder that is /Library inside the sandbox.
  const std::string& library() const { return library_; }

  // Starts `ampsim serve` with these extra arguments and waits until its
  // socket answers.
  void StartSimulator(const std::vector<std::string>& arguments = {});
  // Stops the simulator (SIGTERM), as if the SMC went away.
  void StopSimulator();
  // Runs an `ampsim` client command against the running simulator.
  ProcessResult Simulator(const std::vector<std::string>& arguments);

  // Copies the built ampctl to its installed path inside the sandbox.
  void InstallAmpctl();

  // Runs a program (a path inside the sandbox, or a built program's name:
  // "ampctl", "ampkey") to completion.
  ProcessResult Run(const std::string& program,
                    const std::vector<std::string>& arguments,
                    uid_t uid = kRoot);

  // Starts a program in the background; its output goes to files that
  // BackgroundErr() reads. Returns the pid of the sandbox.
  pid_t Start(const std::string& program,
              const std::vector<std::string>& arguments, uid_t uid = kRoot);
  std::string BackgroundErr(pid_t pid) const;

 private:
  std::vector<std::string> SandboxCommand(
      const std::string& program, const std::vector<std::string>& arguments,
      uid_t uid) const;

  std::string root_;
  std::string library_;
  std::string socket_dir_;
  pid_t simulator_ = -1;
  // Background programs by start order; SIGKILLed on destruction.
  std::vector<pid_t> background_;
};

// Where the built programs are.
std::string BuiltProgram(const std::string& name);

}  // namespace ampervale::e2e

#endif  // AMPERVALE_TESTS_E2E_SANDBOX_H_
