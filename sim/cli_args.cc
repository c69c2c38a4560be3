#include "sim/cli_args.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "common/native_control_error.h"
#include "sim/faults.h"
#include "sim/json_fields.h"
#include "sim/sleep_options.h"

namespace ampervale::sim {

namespace {

bool Contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

struct FaultWords {
  std::string kind;
  std::vector<std::string> fields;  // in the order the words give them
  size_t required = 0;
};

const std::vector<FaultWords>& FaultSyntax() {
  static const std::vector<FaultWords> syntax{
      {"read-result", {"key", "result"}, 2},
      {"write-result", {"key", "result"}, 2},
      {"not-privileged", {"key", "command"}, 0},
      {"ignore-write", {"key"}, 1},
      {"width", {"key", "width"}, 2},
      {"disconnect", {"key", "command"}, 0},
      {"refuse-open", {"code"}, 0},
      {"no-battery", {}, 0},
      {"capacity", {"property", "value"}, 2},
      {"private-socket", {}, 0},
  };
  return syntax;
}

constexpr uint64_t kLargestFaultNumber = 0xFFFFFFFF;  // a 32-bit code

nlohmann::json CapacityValue(const std::string& word) {
  if (word == "missing") return nullptr;
  if (word == "text") return "text";
  // A battery may report a value below zero: the one sign taken here.
  const int sign = word.starts_with('-') ? -1 : 1;
  const std::string digits = word.substr(sign < 0);
  double value = ParsePlainDecimal("Fault value", digits);
  if (digits.find('.') != std::string::npos) return sign * value;
  return sign *
         static_cast<int64_t>(ParsePlainInteger(
             "Fault value", digits, std::numeric_limits<int64_t>::max()));
}

nlohmann::json FieldValue(const std::string& field, const std::string& word) {
  if (field == "key" || field == "property") return word;
  if (field == "value") return CapacityValue(word);
  return ParsePlainInteger("Fault " + field, word, kLargestFaultNumber);
}

nlohmann::json ClearRequest(const std::vector<std::string>& words) {
  if (words.size() > 2) {
    throw NativeControlError(
        "Usage: ampsim fault --socket PATH --clear [KIND [KEY|PROPERTY]]");
  }
  nlohmann::json request{{"command", "clear-faults"}};
  if (!words.empty()) {
    if (!FaultKindNamed(words[0])) {
      throw NativeControlError("Unknown fault " + words[0] + "; choose " +
                               FaultKindList());
    }
    request["kind"] = words[0];
  }
  if (words.size() == 2) request["target"] = words[1];
  return request;
}

}  // namespace

std::string CommandLine::Option(const std::string& name,
                                const std::string& fallback) const {
  auto found = options.find(name);
  return found == options.end() ? fallback : found->second;
}

CommandLine ParseCommandLine(const std::vector<std::string>& arguments,
                             const CommandSyntax& syntax) {
  CommandLine line;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& word = arguments[i];
    if (word.rfind("--", 0) != 0) {
      line.words.push_back(word);
    } else if (Contains(syntax.flags, word)) {
      line.flags.insert(word);
    } else if (!Contains(syntax.options, word)) {
      throw NativeControlError("Unknown option " + word +
                               "; usage: " + syntax.usage);
    } else if (i + 1 == arguments.size()) {
      throw NativeControlError("Option " + word + " needs a value");
    } else {
      line.options[word] = arguments[++i];
    }
  }
  bool complete = std::all_of(
      syntax.required.begin(), syntax.required.end(),
      [&](const std::string& option) { return line.options.contains(option); });
  if (!complete || line.words.size() < syntax.min_words ||
      line.words.size() > syntax.max_words) {
    throw NativeControlError("Usage: " + syntax.usage);
  }
  return line;
}

double ParsePlainDecimal(const std::string& name, const std::string& text) {
  auto points = std::count(text.begin(), text.end(), '.');
  bool plain = std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= '0' && c <= '9') || c == '.';
  });
  if (!plain || points > 1 || text.size() == static_cast<size_t>(points)) {
    throw NativeControlError(name +
                             " takes a plain decimal number such as 20 or "
                             "2.5, not " +
                             text);
  }
  return std::strtod(text.c_str(), nullptr);
}

uint64_t ParsePlainInteger(const std::string& name, const std::string& text,
                           uint64_t high) {
  uint64_t value = 0;
  const char* last = text.data() + text.size();
  // from_chars takes neither a plus sign nor blanks, and base 10 no hex.
  auto [end, error] = std::from_chars(text.data(), last, value, 10);
  if (text.empty() || error != std::errc() || end != last || value > high) {
    throw NativeControlError(name + " takes a whole number from 0 to " +
                             std::to_string(high) + ", not " + text);
  }
  return value;
}

CommandSyntax SleepSyntax() {
  CommandSyntax syntax{
      .usage =
          "ampsim sleep --socket PATH --hours H [OPTIONS] (see ampsim "
          "--help)",
      .options = {"--socket", "--hours"},
      .required = {"--socket", "--hours"},
      .flags = {}};
  for (const SleepNumberOption& option : SleepNumberOptions()) {
    syntax.options.emplace_back(option.flag);
  }
  for (const SleepFlagOption& option : SleepFlagOptions()) {
    syntax.flags.emplace_back(option.flag);
  }
  return syntax;
}

nlohmann::json SleepRequest(const CommandLine& line) {
  double hours = ParsePlainDecimal("Option --hours", line.Option("--hours"));
  if (hours > kMaxSleepHours) {
    throw NativeControlError("Option --hours takes 0 to 48 hours");
  }
  nlohmann::json request{{"command", "sleep"}, {"hours", hours}};
  for (const SleepNumberOption& option : SleepNumberOptions()) {
    if (!line.options.contains(option.flag)) continue;
    double value = ParsePlainDecimal(std::string("Option ") + option.flag,
                                     line.Option(option.flag));
    if (value < option.low || value > option.high) {
      char range[96];
      std::snprintf(range, sizeof range, " takes a number from %.0f to %.0f",
                    option.low, option.high);
      throw NativeControlError(std::string("Option ") + option.flag + range);
    }
    request[option.field] = value;
  }
  for (const SleepFlagOption& option : SleepFlagOptions()) {
    if (line.flags.contains(option.flag)) request[option.field] = true;
  }
  JsonObjectReader reader(request, "Sleep request", "");
  ReadSleepOptions(reader);  // the simulator would refuse it likewise
  return request;
}

nlohmann::json FaultRequest(const std::vector<std::string>& words, bool clear) {
  if (clear) return ClearRequest(words);
  if (words.empty())
    throw NativeControlError("Usage: ampsim fault --socket PATH KIND [ARGS]");
  const auto& syntax = FaultSyntax();
  auto kind = std::find_if(
      syntax.begin(), syntax.end(),
      [&](const FaultWords& each) { return each.kind == words[0]; });
  if (kind == syntax.end()) {
    throw NativeControlError("Unknown fault " + words[0] + "; choose " +
                             FaultKindList());
  }
  size_t given = words.size() - 1;
  if (given < kind->required || given > kind->fields.size()) {
    throw NativeControlError("Wrong arguments for the fault " + kind->kind +
                             "; see ampsim --help");
  }
  nlohmann::json fault{{"kind", kind->kind}};
  for (size_t i = 0; i < given; ++i) {
    // "any" (never a key: keys have four characters) leaves the key open,
    // so that a command can follow it.
    if (kind->fields[i] == "key" && words[i + 1] == "any") continue;
    fault[kind->fields[i]] = FieldValue(kind->fields[i], words[i + 1]);
  }
  ParseFault(fault, "Fault", "");  // the simulator would refuse it likewise
  return {{"command", "fault"}, {"fault", fault}};
}

}  // namespace ampervale::sim
