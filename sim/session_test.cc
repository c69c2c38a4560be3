#include "sim/session.h"

#include <gtest/gtest.h>

#include <utility>

#include "control/fake_smc_access.h"
#include "sim/cli_args.h"
#include "sim/control.h"
#include "sim/hex.h"
#include "sim/machine.h"
#include "smc/smc_packet.h"

namespace ampervale::sim {
namespace {

using Bytes = std::vector<uint8_t>;

// A request to read ACLC, after `before`.
std::string SMCRead(std::string before = "") {
  const Bytes read = NativeSMCPacket("ACLC", 5, 1, {}).bytes;
  return before.append(read.begin(), read.end());
}

std::string Feed(Session& session, SimulatedMac& mac, std::string_view bytes) {
  session.Feed(Bytes(bytes.begin(), bytes.end()), mac);
  return ToHex(std::exchange(session.output(), {}));
}

TEST(SessionTest, AnswersAndEndings) {
  using enum Session::Ending;
  const std::string kBook("\x04\x02\0\0\0\0\0\0", 8);  // seconds follow
  static const struct {
    const char *name, *fault;  // the fault as the operator types it
    std::string bytes, answer;
    Session::Ending ending;
  } cases[] = {
      {"unknown first byte", "", "GET /", "", kNow},
      {"refused open", "refuse-open", "\x01", "c10200e000000000", kAfterOutput},
      {"kernel refusal: no reply block", "not-privileged", SMCRead("\x01"),
       "0000000001000000c10200e000000000", kOpen},
      {"disconnect", "disconnect", SMCRead("\x01"), "0000000001000000", kNow},
      {"battery property", "", "\x02\017CurrentCapacity",
       "0101ca08000000000000", kOpen},
      {"no battery", "no-battery", "\x02", "00", kAfterOutput},
      {"empty property name", "", {"\x02\x00", 2}, "01", kNow},
      {"root domain", "", "\x05\x13System Capabilities", "01010300000000000000",
       kOpen},
      {"root domain, other property", "", "\x05\x04Nope", "0100", kOpen},
      {"adapter plugged in", "", "\x02\021ExternalConnected", "010401", kOpen},
      // Power channel: a booking of 60 s, a cancel; bookings of 0 and NaN.
      {"booked and cancelled", "", kBook + "\x4e\x40\x03",
       "0103000000000000000300000000000000", kOpen},
      {"booking of 0", "", kBook + '\0' + '\0', "010300000000000000", kOpen},
      {"booking of NaN", "", kBook + "\xf8\x7f", "0103000000c20200e0", kOpen},
      {"booking refused",
       R"({"command": "sleep", "hours": 1, "refuseBookings": true})",
       kBook + "\x4e\x40", "0103000000be0200e0", kOpen},
  };
  for (const auto& c : cases) {
    SimulatedMac mac(BuiltInMachine("firmware"));
    if (*c.fault == '{') HandleControl(mac, nlohmann::json::parse(c.fault));
    if (*c.fault && *c.fault != '{')
      HandleControl(mac, FaultRequest({c.fault}, false));
    Session session(1);
    // Blocks may arrive split anywhere and joined to the next.
    std::string answer;
    for (size_t at = 0; at < c.bytes.size(); at += 16)
      answer += Feed(session, mac, c.bytes.substr(at, 16));
    EXPECT_EQ(c.answer, answer) << c.name;
    EXPECT_EQ(c.ending, session.ending()) << c.name;
    if (c.ending != kOpen) {
      EXPECT_EQ("", Feed(session, mac, "\x01")) << c.name << ": after the end";
    }
  }
}

// A value is stored only at exactly the key's width (133 otherwise),
// whether or not the client asked for the width first.
TEST(SMCModelTest, StoresOnlyValuesOfTheKeysWidth) {
  SMCModel smc(KeysFromText("ACLC 00"));
  auto result = [&](uint8_t command, const Bytes& data) {
    NativeSMCPacket block("ACLC", command, data.size(), data);
    return std::to_string(smc.Answer(block.bytes).reply.at(40)) + " ";
  };
  EXPECT_EQ("133 0 133 133 0 ", result(6, {1, 2}) + result(9, {}) +
                                    result(6, {1, 2}) + result(6, {}) +
                                    result(6, {7}));
  EXPECT_EQ(1u, smc.writes().size());
  EXPECT_EQ(Bytes{7}, smc.Value("ACLC"));
}

// A night turn by turn, as the server plays it: awake, 100 machine seconds
// pass per real second. `options` is the sleep request, less "bookA": how
// far ahead client A books a wake at every "will sleep" (B never books).
// Both allow at once, `late` notices behind the latest. The log has each
// change of the phase's first two letters, the capabilities as a
// root-domain request reads them ("-" while it waits; "?" if the battery
// service or an SMC opened before the night answers meanwhile) and "*"
// with the capacity reported while the level lags; every notice as
// CLIENT TYPE:WORD; at the end the counts that are not 0 of full and dark
// wakes, booked wakes served and late answers, and "refused" if a booking
// made once the night is over is.
std::string PlayNight(SimulatedMac& mac, const char* options, int late = 0) {
  SleepCycle& sleep = mac.sleep();
  const uint32_t a = *sleep.Register(0), b = *sleep.Register(0);
  nlohmann::json request = nlohmann::json::parse(options);
  const double booking = request.value("bookA", 1e6);
  request.erase("bookA");
  request["command"] = "sleep";
  Session smc(1);
  Feed(smc, mac, "\x01");
  uint64_t ticket = HandleControl(mac, request)[kSleepTicket];
  std::string log, last;
  for (double real = 0.05; !sleep.Finished(ticket) && real < 60; real += 0.05) {
    if (!sleep.asleep()) mac.Advance(5);
    sleep.Turn(mac, real);
    Session probe(1), battery(1);
    std::string caps = Feed(probe, mac, "\x05\x13System Capabilities"),
                others = Feed(battery, mac, "\x02") + Feed(smc, mac, SMCRead());
    int64_t shown = mac.Property("CurrentCapacity").integer;
    std::string phase =
        sleep.StateJson()["phase"].get<std::string>().substr(0, 2) +
        (caps.empty() ? (others.empty() ? "-" : "?") : caps.substr(5, 1)) +
        (shown != mac.CurrentCapacity() ? "*" + std::to_string(shown) : "");
    if (phase != last) log += " " + (last = phase);
    for (uint32_t client : {a, b}) {
      Bytes bytes = sleep.TakeNotices(client);
      for (auto at = bytes.begin(); at + 8 <= bytes.end(); at += 8) {
        uint64_t type = LittleEndianValue({at, at + 4}),
                 word = LittleEndianValue({at + 4, at + 8});
        log += (client == a ? " A" : " B") + std::to_string(type) + ":" +
               std::to_string(word);
        if (type == 1 && client == a) sleep.BookWake(a, booking, mac.now());
        if (type == 1) sleep.Allow(client, static_cast<uint32_t>(word) - late);
      }
    }
  }
  for (const char* field :
       {"fullWakes", "darkWakes", "scheduledWakesServed", "lateAnswers"}) {
    const nlohmann::json count = sleep.StateJson()[field];
    if (count != 0) log += " " + std::string(1, field[0]) + count.dump();
  }
  return log.substr(1) + (sleep.BookWake(a, 60, mac.now()) ? " refused" : "");
}

TEST(SleepCycleTest, PhasesNoticesAndCapabilities) {
  static const struct {
    const char *options, *log;
    int late = 0;
  } cases[] = {
      {R"({"hours": 2, "bookA": 3600})",
       "no1 A1:1 B1:1 as- no1 A2:1 A1:2 B2:0 B1:2 as- aw3 A2:0 B2:0 f1 s1"},
      {R"({"hours": 2, "linger": 10, "fullWakeSeconds": 30, "bookA": 3600})",
       "no1 A1:1 B1:1 li1 as- fu3 A2:1 B2:0 no1 A1:2 B1:2 li1 as- aw3 A2:0 "
       "B2:0 f1 s1"},
      {R"({"hours": 1.5, "darkWakeEvery": 30, "levelLag": 10, "pullOutAt": 45})",
       "no1 A1:1 B1:1 as- da1*2556 da1 as- da1*3710 da1 as- aw3*4261 A2:0 B2:0 "
       "d2"},
      {R"({"hours": 1, "pullOutAt": 30, "plugWake": true})",
       "no1 A1:1 B1:1 as- fu3 A2:0 B2:0 no1 A1:2 B1:2 as- aw3 A2:0 B2:0 f1"},
      {R"({"hours": 1, "pullOutAt": 30})", "no1 A1:1 B1:1 as- aw3 A2:0 B2:0"},
      {R"({"hours": 1, "refuseBookings": true, "bookA": 1800})",
       "no1 A1:1 B1:1 as- aw3 A2:0 B2:0 l2", 1},
  };
  for (const auto& c : cases) {
    SimulatedMac mac(BuiltInMachine("legacy-pair"));
    EXPECT_EQ(c.log, PlayNight(mac, c.options, c.late)) << c.options;
  }
}

// What the night's events leave: the level and why (the keys, the
// adapter), ExternalConnected, the highest level of the night.
TEST(SleepCycleTest, EventsOfTheNight) {
  static const struct {
    double level;
    const char *options, *keys, *outcome;  // keys set before the sleep
  } cases[] = {
      {50, R"({"hours": 1, "keysResetAt": 30})", "CH0B 02, CH0I 01",
       "72 % adapter supplying power, plugged, highest 72.2"},
      {50, R"({"hours": 1, "rateChangeAt": 30, "rateAfter": 0})", "",
       "72 % adapter supplying power, plugged, highest 72.5"},
      {75, R"({"hours": 1.5, "hold80Hours": 1, "rateAbove80": 10})", "",
       "85 % adapter supplying power, plugged, highest 85.0"},
      {50, R"({"hours": 1, "pullOutAt": 30})", "",
       "72 % adapter unplugged, unplugged, highest 72.5"},
      {50, R"({"hours": 9, "pullOutAt": 0})", "",
       "45 % adapter unplugged, unplugged, highest 50.1"},
      {50, R"({"hours": 1})", "CH0I 01",
       "49 % adapter cut off by CH0I 01, plugged, highest 50.0"},
      {75, R"({"hours": 1, "hold80Hours": 2})", "",
       "80 % adapter supplying power, plugged, highest 80.0"},
  };
  for (const auto& c : cases) {
    SimulatedMac mac(BuiltInMachine("legacy-pair"));
    mac.SetLevel(c.level);
    for (const auto& [key, value] : KeysFromText(c.keys))
      mac.smc().SetValue(key, value);
    PlayNight(mac, c.options);
    const nlohmann::json state = mac.StateJson();
    char outcome[128];
    std::snprintf(
        outcome, sizeof outcome, "%d %% %s, %s, highest %.1f",
        state["battery"]["percentage"].get<int>(), mac.Reason().c_str(),
        mac.Property("ExternalConnected").boolean ? "plugged" : "unplugged",
        state["sleep"]["highestLevel"].get<double>());
    EXPECT_EQ(c.outcome, std::string(outcome)) << c.options;
  }
}

}  // namespace
}  // namespace ampervale::sim
