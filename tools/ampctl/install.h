#ifndef AMPERVALE_TOOLS_AMPCTL_INSTALL_H_
#define AMPERVALE_TOOLS_AMPCTL_INSTALL_H_

#include <filesystem>
#include <iosfwd>
#include <string>

namespace ampervale {

// The one location from which the backend may install its launchd job.
inline constexpr const char kInstalledBackendPath[] =
    "/Library/Application Support/Ampervale/bin/ampctl";
inline constexpr const char kJobDescriptionPath[] =
    "/Library/LaunchDaemons/chargelimitd.plist";

// `path` made absolute against `current_directory`, with "." and ".."
// segments and repeated separators removed. Symbolic links are not
// resolved: a link elsewhere that points at the installed backend is still
// elsewhere.
std::string StandardizedPath(const std::string& path,
                             const std::filesystem::path& current_directory);

// The job description as an XML property list: label, program arguments
// (the installed backend and "daemon"), run at load, keep alive, throttle
// interval 5.
std::string JobDescriptionXML();

namespace NativeBackendTool {

// Writes the launchd job that starts the installed backend in daemon mode,
// replacing the file atomically with mode 0644, then prints the
// confirmation. Nothing is written when it refuses: with "Install the
// bundled backend through Ampervale's helper first" unless
// `executable_path` (the path the process was started by) standardises to
// the installed location; with "Refusing to register a backend that another
// user can replace: PATH REASON" when the installed file, the one file its
// symbolic link leads to (reached as the kernel reaches it), or a folder
// above either is unsafe (see checked_path.h), sticky folders included;
// with "Cannot write the launchd job through an unsafe folder: PATH REASON"
// for the job's folder or one above it, sticky or a link included. File
// errors are thrown as std::system_error.
void installDaemon(const std::string& executable_path, std::ostream& out,
                   const std::filesystem::path& job_path = kJobDescriptionPath);

}  // namespace NativeBackendTool
}  // namespace ampervale

#endif  // AMPERVALE_TOOLS_AMPCTL_INSTALL_H_
