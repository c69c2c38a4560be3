#include "common/backend_tool.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

bool ReopenClosedStandardDescriptors() {
  for (int standard = STDIN_FILENO; standard <= STDERR_FILENO; ++standard) {
    if (fcntl(standard, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number is `standard` itself: those below are open.
    const int opened = open("/dev/null", O_RDWR);
    if (opened != standard) {
      if (opened >= 0) close(opened);
      return false;
    }
  }
  return true;
}

int main(int argc, const char* const* argv, const Tool& tool) {
  if (!ReopenClosedStandardDescriptors()) return 1;
  // A reader that went away is reported like any failure, not by a signal
  // that would give an exit status other than 0 or 1.
  (void)signal(SIGPIPE, SIG_IGN);
  return run(ArgumentsOf(argc, argv), tool, std::cerr);
}

}  // namespace ampervale::NativeBackendTool
