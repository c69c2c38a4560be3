#ifndef AMPERVALE_TESTS_FUZZ_FUZZ_SUPPORT_H_
#define AMPERVALE_TESTS_FUZZ_FUZZ_SUPPORT_H_

// What the fuzzers share: a failed check aborts, so that libFuzzer keeps
// the input that broke it.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "common/backend_tool.h"
#include "sim/machine.h"

namespace ampervale::fuzz {

inline void Require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

// A fresh directory in memory, removed at the end: the harnesses write and
// flush files for every input and must not wait for a disk.
struct MemoryDirectory {
  MemoryDirectory() {
    char pattern[] = "/dev/shm/ampervale-fuzz-XXXXXX";
    Require(mkdtemp(pattern) != nullptr, "cannot make a directory");
    path = pattern;
  }
  ~MemoryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::filesystem::path path;
};

// Runs a program's `tool` on the arguments in `data`, split at line feeds
// ("limit\n80" is {"limit", "80"}; no bytes, no argument at all). It ends
// with status 0 and no error, or 1 and exactly one line of error.
inline int RunTool(const uint8_t* data, size_t size,
                   const NativeBackendTool::Tool& tool) {
  std::istringstream text(
      std::string(reinterpret_cast<const char*>(data), size));
  NativeBackendTool::Arguments arguments;
  for (std::string line; std::getline(text, line);) arguments.push_back(line);
  std::ostringstream err;
  const int status = NativeBackendTool::run(arguments, tool, err);
  const std::string error = err.str();
  Require(status == 0 ? error.empty()
                      : status == 1 && error != "Unexpected failure\n" &&
                            std::count(error.begin(), error.end(), '\n') == 1 &&
                            error.back() == '\n',
          "not status 0, or 1 with one line of error");
  return status;
}

// The SMC keys of one of the built-in machines, by `choice` modulo their
// number.
inline sim::SMCModel::KeyTable BuiltInKeys(uint8_t choice) {
  static const std::vector<std::string> names = sim::BuiltInProfileNames();
  return sim::BuiltInMachine(names[choice % names.size()]).keys;
}

}  // namespace ampervale::fuzz

#endif  // AMPERVALE_TESTS_FUZZ_FUZZ_SUPPORT_H_
