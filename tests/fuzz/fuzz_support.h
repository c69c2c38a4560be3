#ifndef AMPERVALE_TESTS_FUZZ_FUZZ_SUPPORT_H_
#define AMPERVALE_TESTS_FUZZ_FUZZ_SUPPORT_H_

// What the fuzzers share: a failed check aborts, so that libFuzzer keeps
// the input that broke it.

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "sim/machine.h"

namespace ampervale::fuzz {

inline void Require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

// A fresh directory in memory, removed at the end: the harnesses write and
// flush files for every input and must not wait for a disk.
class MemoryDirectory {
 public:
  MemoryDirectory() {
    char pattern[] = "/dev/shm/ampervale-fuzz-XXXXXX";
    Require(mkdtemp(pattern) != nullptr, "cannot make a directory");
    path_ = pattern;
  }
  ~MemoryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// "limit\n80" is {"limit", "80"}; an empty text is no argument at all.
inline std::vector<std::string> Lines(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    lines.emplace_back(text.substr(0, end));
    text.remove_prefix(end == text.npos ? text.size() : end + 1);
  }
  return lines;
}

// A failed command reports exactly one line.
inline bool IsOneLine(const std::string& text) {
  return !text.empty() && text.find('\n') == text.size() - 1 &&
         text != "Unexpected failure\n";
}

// The SMC keys of one of the built-in machines, by `choice` modulo their
// number.
inline const sim::SMCModel::KeyTable& BuiltInKeys(uint8_t choice) {
  static const auto tables = [] {
    std::vector<sim::SMCModel::KeyTable> keys;
    for (const std::string& name : sim::BuiltInProfileNames()) {
      keys.push_back(sim::BuiltInMachine(name).keys);
    }
    return keys;
  }();
  return tables[choice % tables.size()];
}

}  // namespace ampervale::fuzz

#endif  // AMPERVALE_TESTS_FUZZ_FUZZ_SUPPORT_H_
