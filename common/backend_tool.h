#ifndef AMPERVALE_COMMON_BACKEND_TOOL_H_
#define AMPERVALE_COMMON_BACKEND_TOOL_H_

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace ampervale::NativeBackendTool {

using Arguments = std::vector<std::string>;
using Tool = std::function<void(const Arguments&)>;

// The process arguments without the program name; an empty argv gives an
// empty list.
Arguments ArgumentsOf(int argc, const char* const* argv);

// Runs `tool` and turns its outcome into the process's exit status: 0 when
// it returns, 1 when it throws, after writing the error's one-line text and
// a line feed to `err`. Only this entry point prints errors.
int run(const Arguments& arguments, const Tool& tool, std::ostream& err);

// Opens "/dev/null" on each of descriptors 0, 1 and 2 that is closed, so
// that no file or socket opened later takes its number and receives what
// is meant for standard output or error. Returns false when "/dev/null"
// cannot be opened.
bool ReopenClosedStandardDescriptors();

// The shared entry point of the programs. Before anything else it reopens
// closed standard descriptors; when it cannot, it runs nothing and returns
// 1.
int main(int argc, const char* const* argv, const Tool& tool);

}  // namespace ampervale::NativeBackendTool

#endif  // AMPERVALE_COMMON_BACKEND_TOOL_H_
