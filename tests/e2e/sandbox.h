#ifndef AMPERVALE_TESTS_E2E_SANDBOX_H_
#define AMPERVALE_TESTS_E2E_SANDBOX_H_

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace ampervale::e2e {

inline constexpr uid_t kRoot = 0;
inline constexpr uid_t kOrdinaryUser = 1000;

struct ProcessResult {
  int status = -1;  // exit status; 128 + signal when killed
  std::string out;
  std::string err;
};

// Waits for the process; kills it after `limit_seconds` so that a hang
// fails the test instead of the whole run.
int WaitFor(pid_t pid, int limit_seconds = 60);
std::string ReadWholeFile(const std::string& path);

// A simulated Mac and a bubblewrap sandbox whose /Library is a temporary
// folder. The real programs run inside it as root or as an ordinary user of
// a user namespace; nothing touches the host's /Library. Everything started
// is killed and the folder removed on destruction.
class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // Host path of the folder that is /Library inside the sandbox.
  const std::string& library() const { return library_; }

  // Starts `ampsim serve` and waits until its socket answers.
  void StartSimulator();
  // Runs an `ampsim` client command against the running simulator.
  ProcessResult Simulator(std::vector<std::string> arguments);

  // Runs argv (argv[0] a path inside the sandbox, or a built program's
  // name: "ampctl", "ampkey") to completion.
  ProcessResult Run(std::vector<std::string> argv, uid_t uid = kRoot);
  // Starts argv as root in the background; its standard error goes to
  // logs() + `log` + ".err".
  pid_t Start(const std::string& log, std::vector<std::string> argv);
  std::string logs() const { return root_ + "/logs/"; }

 private:
  // Inside the sandbox when `uid` is given.
  pid_t Spawn(std::vector<std::string> argv, const std::string& log,
              std::optional<uid_t> uid);
  ProcessResult Finish(pid_t pid, const std::string& log) const;

  std::string root_;
  std::string library_;
  std::string socket_;
  std::vector<pid_t> started_;  // killed on destruction
};

// Where the built programs are.
std::string BuiltProgram(const std::string& name);

}  // namespace ampervale::e2e

#endif  // AMPERVALE_TESTS_E2E_SANDBOX_H_
