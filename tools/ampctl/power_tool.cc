#include "tools/ampctl/power_tool.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <iostream>
#include <string_view>

#include "common/messages.h"
#include "common/native_control_error.h"
#include "daemon/native_daemon.h"
#include "platform/os_version.h"
#include "tools/ampctl/control_commands.h"
#include "tools/ampctl/install.h"
#include "tools/ampctl/reports.h"

namespace ampervale {

namespace {

using NativeBackendTool::Arguments;

constexpr std::string_view kHelpText =
    " · ampctl\n"
    "Commands: capabilities, status, limit PERCENT, disable, "
    "restore-system-charging, adapter enable|disable|status, "
    "magsafe-led enable|disable|always-off|green|amber, "
    "install [--allow-non-root-access], daemon\n"
    "Charge limits: 30–100%; --allow-non-root-access is accepted for "
    "launcher compatibility. Control commands require the privileged helper.";

// Accepted anywhere for launcher compatibility; their values are unused.
constexpr std::array<std::string_view, 3> kValueOptions = {
    "--config", "--daemon-socket", "--log-level"};

void RemoveValueOptions(Arguments& arguments) {
  for (std::string_view option : kValueOptions) {
    auto found = std::find(arguments.begin(), arguments.end(), option);
    if (found == arguments.end()) continue;
    if (found + 1 == arguments.end()) {
      throw NativeControlError("Missing value for " + std::string(option));
    }
    arguments.erase(found, found + 2);
  }
}

bool AsksForHelp(const Arguments& arguments) {
  return arguments.empty() || std::any_of(arguments.begin(), arguments.end(),
                                          [](const std::string& a) {
                                            return a == "--help" || a == "-h";
                                          });
}

// A whole decimal integer with an optional sign that fits 64 bits.
std::optional<int64_t> ParseInteger(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty() || text.front() == '+') return std::nullopt;
  int64_t value = 0;
  auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

std::optional<int64_t> LimitOf(const Arguments& arguments) {
  if (arguments.size() != 2 || arguments[0] != "limit") return std::nullopt;
  std::optional<int64_t> limit = ParseInteger(arguments[1]);
  if (!limit || *limit < 30 || *limit > 100) return std::nullopt;
  return limit;
}

void Print(const PowerToolContext& context, std::string_view line) {
  *context.out << line << '\n';
}

template <typename Row, size_t kCount>
const Row* FindRow(const std::array<Row, kCount>& rows,
                   const Arguments& arguments) {
  auto found = std::find_if(rows.begin(), rows.end(), [&](const Row& row) {
    return row.words == arguments;
  });
  return found == rows.end() ? nullptr : &*found;
}

// Commands run before any shared object exists; only those open to every
// user are answered before the privilege check.
struct EarlyRow {
  Arguments words;
  bool anyUser;
  void (*handler)(const PowerToolContext&);
};

void PrintVersion(const PowerToolContext& context) {
  Print(context, kVersionLine);
}

void Install(const PowerToolContext& context) {
  NativeBackendTool::installDaemon(context.executablePath, *context.out,
                                   context.jobPath);
}

const std::array<EarlyRow, 6>& EarlyTable() {
  static const std::array<EarlyRow, 6> rows = {{
      {{"version"}, true, PrintVersion},
      {{"--version"}, true, PrintVersion},
      {{"capabilities"}, true, Reports::capabilities},
      {{"restore-system-charging"}, false, Commands::restoreSystemCharging},
      {{"install"}, false, Install},
      {{"install", "--allow-non-root-access"}, false, Install},
  }};
  return rows;
}

using Handler = void (*)(const Arguments&, Invocation&);

struct CommandRow {
  Arguments words;
  Handler handler;
};

void RunDaemon(const Arguments&, Invocation& shared) {
  shared.context.runDaemon(shared.store, shared.controller);
}

// The commands that need the shared objects, as exact word lists.
const std::array<CommandRow, 12>& CommandTable() {
  static const std::array<CommandRow, 12> rows = {{
      {{"daemon"}, RunDaemon},
      {{"daemon", "--always-allow-non-root-access"}, RunDaemon},
      {{"status"}, [](const Arguments&, Invocation& s) { Reports::status(s); }},
      {{"adapter", "status"},
       [](const Arguments&, Invocation& s) { Reports::adapterStatus(s); }},
      {{"disable"},
       [](const Arguments&, Invocation& s) { Commands::disable(s); }},
      {{"adapter", "enable"},
       [](const Arguments&, Invocation& s) { Commands::adapter(true, s); }},
      {{"adapter", "disable"},
       [](const Arguments&, Invocation& s) { Commands::adapter(false, s); }},
      {{"magsafe-led", "enable"}, Commands::magsafeLED},
      {{"magsafe-led", "disable"}, Commands::magsafeLED},
      {{"magsafe-led", "always-off"}, Commands::magsafeLED},
      {{"magsafe-led", "green"}, Commands::magsafeLED},
      {{"magsafe-led", "amber"}, Commands::magsafeLED},
  }};
  return rows;
}

Invocation OpenShared(const PowerToolContext& context) {
  NativePowerStore store(context.storeDirectory);
  std::shared_ptr<NativeSMCAccess> smc = context.openSMC();
  return Invocation{context, std::move(store),
                    std::make_shared<NativePowerController>(std::move(smc))};
}

void RunSharedCommand(const Arguments& arguments,
                      const PowerToolContext& context) {
  Invocation shared = OpenShared(context);
  if (std::optional<int64_t> limit = LimitOf(arguments)) {
    Commands::limit(*limit, shared);
    return;
  }
  if (const CommandRow* row = FindRow(CommandTable(), arguments)) {
    row->handler(arguments, shared);
    return;
  }
  throw NativeControlError("Unsupported ampctl command or arguments");
}

}  // namespace

PowerToolContext PowerToolContext::Process(std::string executablePath) {
  return PowerToolContext{
      &std::cout,
      geteuid(),
      std::move(executablePath),
      NativePowerStore::productionDirectory(),
      kJobDescriptionPath,
      []() -> std::shared_ptr<NativeSMCAccess> {
        return std::make_shared<NativeSMCTransport>();
      },
      &NativePowerController::batteryPercentage,
      &platform::OperatingSystemVersionString,
      [](NativePowerStore& store,
         std::shared_ptr<NativePowerController> controller) {
        NativeDaemon::run(store, std::move(controller));
      },
  };
}

namespace NativeBackendTool {

void runPowerTool(Arguments arguments, const PowerToolContext& context) {
  RemoveValueOptions(arguments);
  if (AsksForHelp(arguments)) {
    Print(context, std::string(kVersionLine) + std::string(kHelpText));
    return;
  }
  const EarlyRow* early = FindRow(EarlyTable(), arguments);
  if (context.effectiveUID != 0 && !(early && early->anyUser)) {
    throw NativeControlError(std::string(kPermissionDenied));
  }
  if (early) {
    early->handler(context);
  } else {
    RunSharedCommand(arguments, context);
  }
}

std::vector<Arguments> commandWordLists() {
  std::vector<Arguments> lists;
  for (const EarlyRow& row : EarlyTable()) lists.push_back(row.words);
  lists.push_back({"limit", "PERCENT"});
  for (const CommandRow& row : CommandTable()) lists.push_back(row.words);
  return lists;
}

}  // namespace NativeBackendTool
}  // namespace ampervale
