#include "tools/ampkey/smc_tool.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <iostream>

#include "common/hex.h"
#include "common/messages.h"
#include "common/native_control_error.h"

namespace ampervale {

namespace {

using NativeBackendTool::Arguments;

constexpr std::string_view kHelpText =
    " · ampkey\nUsage: ampkey -k KEY [-r | -w HEX]\n"
    "Read an SMC key, or write a supported ACLC LED value.";

// The byte values of the MagSafe LED modes.
constexpr std::array<uint8_t, 7> kLEDValues = {0x00, 0x01, 0x03, 0x04,
                                               0x06, 0x07, 0x25};

bool Contains(const Arguments& arguments, std::string_view word) {
  return std::find(arguments.begin(), arguments.end(), word) != arguments.end();
}

std::optional<uint8_t> DocumentedLEDValue(const Arguments& arguments) {
  if (arguments.size() != 4 || arguments[0] != "-k" || arguments[1] != "ACLC" ||
      arguments[2] != "-w") {
    return std::nullopt;
  }
  std::optional<uint8_t> value = ParseHexByte(arguments[3]);
  if (!value || std::find(kLEDValues.begin(), kLEDValues.end(), *value) ==
                    kLEDValues.end()) {
    return std::nullopt;
  }
  return value;
}

void WriteLED(const Arguments& arguments, const SMCToolContext& context) {
  std::optional<uint8_t> value = DocumentedLEDValue(arguments);
  if (!value) {
    throw NativeControlError(
        "Only documented one-byte ACLC LED writes are supported");
  }
  // Refused before the SMC is opened.
  if (context.effective_uid != 0) {
    throw NativeControlError(std::string(kPermissionDenied));
  }
  context.open_smc()->write("ACLC", {*value});
}

void ReadKey(const Arguments& arguments, const std::string& key,
             const SMCToolContext& context) {
  bool plain = arguments.size() == 2 && arguments[0] == "-k";
  bool with_r =
      arguments.size() == 3 && arguments[0] == "-k" && arguments[2] == "-r";
  if (!plain && !with_r) throw NativeControlError("Invalid ampkey arguments");
  std::vector<uint8_t> value = context.open_smc()->read(key);
  context.out << key << ": " << HexString(value) << '\n';
}

}  // namespace

std::optional<uint8_t> ParseHexByte(std::string_view text) {
  bool negative = !text.empty() && text.front() == '-';
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    int digit = HexDigitValue(c);
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<unsigned>(digit);
    if (value > 0xFF) return std::nullopt;
  }
  if (negative && value != 0) return std::nullopt;
  return static_cast<uint8_t>(value);
}

namespace NativeBackendTool {

void runSMCTool(const Arguments& arguments, const SMCToolContext& context) {
  if (arguments.empty() || Contains(arguments, "-h") ||
      Contains(arguments, "--help")) {
    context.out << kVersionLine << kHelpText << '\n';
    return;
  }
  if (arguments == Arguments{"--version"}) {
    context.out << kVersionLine << '\n';
    return;
  }
  auto k = std::find(arguments.begin(), arguments.end(), "-k");
  if (k == arguments.end() || k + 1 == arguments.end()) {
    throw NativeControlError("Missing -k KEY");
  }
  if (Contains(arguments, "-w")) {
    WriteLED(arguments, context);
  } else {
    ReadKey(arguments, *(k + 1), context);
  }
}

void runSMCTool(const Arguments& arguments) {
  SMCToolContext context{std::cout, geteuid(),
                         [] { return std::make_unique<NativeSMCTransport>(); }};
  runSMCTool(arguments, context);
}

}  // namespace NativeBackendTool
}  // namespace ampervale
