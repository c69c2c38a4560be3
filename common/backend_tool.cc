#include "common/backend_tool.h"

#include <signal.h>

#include <algorithm>
#include <exception>
#include <iostream>
#include <stdexcept>

namespace ampervale::NativeBackendTool {

namespace {

// Errors of the file and JSON layers may quote the data they choked on; a
// failure is always reported as one line.
std::string OneLine(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  std::replace(text.begin(), text.end(), '\r', ' ');
  return text;
}

}  // namespace

Arguments ArgumentsOf(int argc, const char* const* argv) {
  if (argc <= 1 || argv == nullptr) return {};
  return Arguments(argv + 1, argv + argc);
}

int run(const Arguments& arguments, const Tool& tool, std::ostream& err) {
  try {
    tool(arguments);
    // A result that never reached its reader is not a success.
    if (!std::cout.flush()) {
      throw std::runtime_error("Cannot write to standard output");
    }
    return 0;
  } catch (const std::exception& error) {
    std::cout.flush();
    err << OneLine(error.what()) << '\n';
  } catch (...) {
    std::cout.flush();
    err << "Unexpected failure\n";
  }
  err.flush();
  return 1;
}

int main(int argc, const char* const* argv, const Tool& tool) {
  // A reader that went away is reported like any failure, not by a signal
  // that would give an exit status other than 0 or 1.
  (void)signal(SIGPIPE, SIG_IGN);
  return run(ArgumentsOf(argc, argv), tool, std::cerr);
}

}  // namespace ampervale::NativeBackendTool
