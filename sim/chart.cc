#include "sim/chart.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "common/native_control_error.h"

extern char** environ;

namespace ampervale::sim {

namespace {

// gnuplot takes single-quoted strings literally, except that '' stands
// for one quote.
std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text)
    quoted += c == '\'' ? std::string("''") : std::string(1, c);
  return quoted + "'";
}

bool OnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream directories(path ? path : "/usr/bin:/bin");
  std::string directory;
  while (std::getline(directories, directory, ':')) {
    std::string candidate =
        (directory.empty() ? "." : directory) + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return true;
  }
  return false;
}

// Runs gnuplot on the script file and waits for it.
int RunGnuplot(const std::string& script_path) {
  const char* argv[] = {"gnuplot", script_path.c_str(), nullptr};
  pid_t pid = 0;
  int error = posix_spawnp(&pid, "gnuplot", nullptr, nullptr,
                           const_cast<char* const*>(argv), environ);
  if (error != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::string ChartScript(const std::string& trace_path,
                        const std::string& png_path) {
  std::string trace = Quoted(trace_path);
  // Writes close together (a limit is three) stack their labels
  // upwards instead of printing over each other.
  return "set terminal pngcairo size 1100,600 font ',10'\n"
         "set output " +
         Quoted(png_path) +
         "\n"
         "set datafile separator '\\t'\n"
         "set title 'Simulated battery level and SMC writes'\n"
         "set xlabel 'simulated time (hours)'\n"
         "set ylabel 'battery level (%)'\n"
         "set yrange [0:115]\n"
         "set grid\n"
         "set key bottom right\n"
         "is_write(s) = strlen(s) > 6 && s[1:6] eq 'write '\n"
         "is_sleep(s) = strlen(s) > 6 && s[1:6] eq 'asleep'\n"
         "is_wake(s) = s eq 'awake' || (strlen(s) > 11 && s[1:11] eq "
         "'booked wake')\n"
         "same = 0; last = -1\n"
         "stacked(t) = (same = (abs(t - last) < 0.01 ? same + 1 : 0), last = "
         "t, same)\n"
         "plot " +
         trace +
         " using 1:2 with lines lw 2 title 'battery level', \\\n"
         "  " +
         trace +
         " using 1:(is_write(strcol(4)) ? $2 : NaN) "
         "with points pt 7 ps 1 title 'SMC write', \\\n"
         "  " +
         trace +
         " using 1:(is_write(strcol(4)) ? "
         "$2 + 4 * stacked($1) + 3 : NaN):(strcol(4)[7:]) "
         "with labels left offset char 0.8,0 font ',8' notitle, \\\n"
         "  " +
         trace +
         " using 1:(is_sleep(strcol(4)) ? $2 : NaN) "
         "with points pt 11 ps 1.5 lc rgb 'navy' title 'falls asleep', \\\n"
         "  " +
         trace +
         " using 1:(is_wake(strcol(4)) ? $2 : NaN) "
         "with points pt 9 ps 1.5 lc rgb 'dark-orange' title 'wakes'\n";
}

void DrawChart(const std::string& trace_path, const std::string& png_path) {
  if (access(trace_path.c_str(), R_OK) != 0) {
    throw NativeControlError("Cannot read the trace " + trace_path + ": " +
                             std::strerror(errno));
  }
  if (!OnPath("gnuplot")) {
    throw NativeControlError(
        "gnuplot is not installed; install Debian's gnuplot-nox to draw the "
        "chart");
  }
  std::string script_path = png_path + ".gnuplot";
  std::ofstream script(script_path);
  script << ChartScript(trace_path, png_path);
  script.close();
  if (!script) {
    throw NativeControlError("Cannot write " + script_path + ": " +
                             std::strerror(errno));
  }
  int status = RunGnuplot(script_path);
  unlink(script_path.c_str());
  if (status != 0) {
    throw NativeControlError("gnuplot could not draw " + png_path +
                             " (exit status " + std::to_string(status) + ")");
  }
}

}  // namespace ampervale::sim
