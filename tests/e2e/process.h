#ifndef AMPERVALE_TESTS_E2E_PROCESS_H_
#define AMPERVALE_TESTS_E2E_PROCESS_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace ampervale::e2e {

// Starts argv[0] (searched in PATH) with stdout and stderr sent to files.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& out_path,
            const std::string& err_path);

// Waits for the process; kills it if it runs for more than `limit_seconds`
// so that a hang fails the test instead of the whole run. Returns the exit
// status, or 128 + the signal.
int WaitFor(pid_t pid, int limit_seconds = 60);

std::string ReadWholeFile(const std::string& path);

struct ProcessResult {
  int status = -1;  // exit status; 128 + signal when killed
  std::string out;
  std::string err;
};

// Runs argv to completion with its output in `logs`.out and `logs`.err.
ProcessResult RunToCompletion(const std::vector<std::string>& argv,
                              const std::string& logs);

}  // namespace ampervale::e2e

#endif  // AMPERVALE_TESTS_E2E_PROCESS_H_
