#ifndef AMPERVALE_SIM_CLI_ARGS_H_
#define AMPERVALE_SIM_CLI_ARGS_H_

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

namespace ampervale::sim {

// What one `ampsim` command accepts.
struct CommandSyntax {
  std::string usage;                  // "ampsim key --socket PATH KEY"
  std::vector<std::string> options;   // options that take a value
  std::vector<std::string> required;  // of those, the ones that must appear
  std::vector<std::string> flags;     // options without a value
  size_t min_words = 0;
  size_t max_words = 0;
};

struct CommandLine {
  std::map<std::string, std::string> options;
  std::set<std::string> flags;
  std::vector<std::string> words;

  std::string Option(const std::string& name,
                     const std::string& fallback = "") const;
};

// Reads the arguments after the command word. Options may come anywhere.
// Throws NativeControlError: "Unknown option X; usage: ...", "Option X
// needs a value", or "Usage: ..." for missing options or a wrong number
// of words.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments,
                             const CommandSyntax& syntax);

// Every number on ampsim's command line is read by one of these two, so
// that no spelling means something other than it shows: no sign, exponent,
// hex or blanks. `name` starts the message ("Option --linger", "Battery
// level").
// Plain decimal digits with at most one decimal point. Throws
// NativeControlError "NAME takes a plain decimal number such as 20 or 2.5,
// not TEXT".
double ParsePlainDecimal(const std::string& name, const std::string& text);
// Decimal digits only, at most `high`. Throws NativeControlError "NAME
// takes a whole number from 0 to HIGH, not TEXT".
uint64_t ParsePlainInteger(const std::string& name, const std::string& text,
                           uint64_t high);

// The syntax of `ampsim sleep`: --socket, --hours and the sleep's options.
CommandSyntax SleepSyntax();
// The "sleep" control request for these arguments, checked here as the
// simulator would check it. Throws NativeControlError naming the option.
nlohmann::json SleepRequest(const CommandLine& line);

// The control request for `ampsim fault` with these words: a fault to add,
// or with `clear` the faults to remove. Checked here, so a mistake is
// reported without a running simulator. Throws NativeControlError.
nlohmann::json FaultRequest(const std::vector<std::string>& words, bool clear);

}  // namespace ampervale::sim

#endif  // AMPERVALE_SIM_CLI_ARGS_H_
