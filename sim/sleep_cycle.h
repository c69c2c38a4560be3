#ifndef AMPERVALE_SIM_SLEEP_CYCLE_H_
#define AMPERVALE_SIM_SLEEP_CYCLE_H_

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "sim/night_events.h"
#include "sim/sleep_options.h"

namespace ampervale::sim {

class SimulatedMac;

// IOReturn codes of the answers to bookings (named apart from the SDK's
// macros of the same values).
inline constexpr int32_t kIOCodeNoResources = static_cast<int32_t>(0xE00002BE);
inline constexpr int32_t kIOCodeBadArgument = static_cast<int32_t>(0xE00002C2);

// The simulated Mac's sleep and wake, as the clients registered on power
// connections see them. A plain sleep runs in four steps: "will sleep" to
// every client, waiting up to kAnswerLimit of real time for each to allow
// it; asleep, machine time runs at the sleep's speed without the host's
// clocks, up to the earliest booked wake or the end of the sleep; at a
// booked wake, "has woken" to every client and the next sleep begins at
// once; at the end "has woken" and the machine stays awake.
//
// SleepOptions add what a real Mac does: dark wakes (no notice either way),
// lingering dark after "will sleep" is answered, full wakes of some length,
// a lagging level, timed events (NightEvents) and refused bookings. While
// awake inside a sleep the machine's time runs with the server's clock, so
// that clients run through those periods; only true sleep skips time.
class SleepCycle {
 public:
  static constexpr double kAnswerLimit = 30;  // real seconds, as on a Mac
  // Machine seconds per real second while asleep: ten hours in about 3 s.
  static constexpr double kSleepSpeed = 3 * 3600;
  // A plug event's full wake, in machine seconds.
  static constexpr double kPlugWakeSeconds = 2;
  // Tests run their nights faster.
  void set_speed(double machine_seconds_per_second) {
    speed_ = machine_seconds_per_second;
  }
  // What one user (one uid, over all its connections) may hold and spend,
  // so that no user crowds out another (the daemon is root's): power
  // registrations, and booked wakes served in one sleep. Past the wakes, a
  // user that keeps booking wakes for now cannot hold the sleep from its
  // end. A client that books its next wake at each will-sleep, no sooner
  // than every two minutes, stays far below both.
  static constexpr int kMaxRegistrationsPerUser = 16;
  static constexpr int kMaxWakesPerUserPerSleep = 100;
  // "System Capabilities" bits.
  static constexpr uint64_t kCPU = 0x1;
  static constexpr uint64_t kGraphics = 0x2;

  // The real seconds a sleep of `options` takes at most on a server whose
  // awake time runs `time_scale` times real time, counting up to ten
  // booked wakes and the plug events, each with the clients' whole time
  // to answer.
  static double LongestRealSeconds(const SleepOptions& options,
                                   double time_scale);

  // A power connection of user `uid` registered; returns its client
  // number, or nothing when the user holds kMaxRegistrationsPerUser.
  std::optional<uint32_t> Register(uint32_t uid);
  // Its connection closed: drops its booked wake and any answer owed.
  void Deregister(uint32_t client);
  void Allow(uint32_t client, uint32_t notice);
  // Books a wake `seconds` of machine time after `now`. Returns the
  // answer: 0 when booked, kIOCodeBadArgument for seconds that are not a
  // finite number, zero or more, kIOCodeNoResources while a sleep refuses
  // bookings or once the client's user has had kMaxWakesPerUserPerSleep
  // wakes served in this sleep; a refused booking changes nothing.
  int32_t BookWake(uint32_t client, double seconds, double now);
  // Returns the answer, always 0.
  int32_t CancelWake(uint32_t client);
  // The notices not yet sent to `client`, as they go on the wire.
  std::vector<uint8_t> TakeNotices(uint32_t client);

  // Starts a sleep as `options` say. Returns a ticket for Finished.
  // Throws NativeControlError while a sleep is under way.
  uint64_t RequestSleep(SimulatedMac& mac, const SleepOptions& options);
  bool Finished(uint64_t ticket) const { return completed_ >= ticket; }

  // True while truly asleep: SMC, battery and root-domain requests wait.
  bool asleep() const { return phase_ == Phase::kAsleep; }
  // kCPU whenever the machine runs; kGraphics too only when fully awake:
  // never in a dark wake, nor from "will sleep" to the next "has woken".
  uint64_t Capabilities() const;
  // During a wake's lag: the level the battery had when the machine last
  // fell asleep, which "CurrentCapacity" still reports.
  std::optional<double> LaggingLevel(double now) const;
  // The machine time at which the present awake period inside a sleep
  // (lingering, dark or full wake) ends; absent outside one.
  std::optional<double> AwakePeriodEnd() const;

  // Moves the sleep on; after every turn of the server, which has moved
  // the machine's time on unless it was asleep.
  void Turn(SimulatedMac& mac, double real_now);

  // For the live view: "asleep until 03:12:40; 1 client(s), 2 booked
  // wake(s) served, 0 late answer(s); this sleep: 2 full wake(s), ...".
  std::string Summary() const;

  // "3 full wake(s), 10 dark wake(s), highest level 80.2 %": the latest
  // sleep, or the one under way.
  std::string NightText() const;

  // For "ampsim state": the phase, served wakes, late answers and more.
  nlohmann::json StateJson() const;

 private:
  enum class Phase {
    kAwake,
    kNotifying,
    kLingering,
    kAsleep,
    kDarkWake,
    kFullWake,
  };
  struct Client {
    uint32_t uid = 0;
    std::optional<double> wake_at;  // machine time
    bool owes_answer = false;
    std::vector<uint8_t> notices;
  };

  std::string PhaseName() const;
  void Notify(SimulatedMac& mac);
  void CheckAnswers(SimulatedMac& mac, double real_now);
  void FallAsleep(SimulatedMac& mac);
  void SleepOn(SimulatedMac& mac, double real_seconds);
  // Whatever is due where SleepOn stopped: a booked wake, the end, an
  // event, a dark wake.
  void ReachStop(SimulatedMac& mac);
  // The timed events now due; a plug event wakes a sleeping or dark
  // machine fully when the sleep asks for it.
  void ApplyEvents(SimulatedMac& mac);
  void DarkWake(SimulatedMac& mac);
  void FullWake(SimulatedMac& mac, bool booked);
  void Finish(SimulatedMac& mac);
  // Queue the notices: a new "will sleep" id to all, "has woken" with 1
  // for the clients whose booking is served now (then dropped), else 0.
  void SendWillSleep();
  void SendHasWoken(double now, bool booked);
  // Machine time adds up in steps: allow for their rounding.
  static bool Due(double at, double now) { return at <= now + 1e-6; }
  void StartLag(double now);
  void Track(const SimulatedMac& mac);
  // The user has had all the wakes it may have in this sleep.
  bool SpentWakes(uint32_t uid) const;
  // The earliest booked wake, when the sleep serves it before its end.
  std::optional<double> WakeBeforeEnd() const;
  // Where sleeping machine time must stop next.
  double NextStop() const;

  std::map<uint32_t, Client> clients_;
  uint32_t last_client_ = 0;
  uint32_t notice_ = 0;
  Phase phase_ = Phase::kAwake;
  SleepOptions options_;
  NightEvents events_;
  double sleep_ends_ = 0;              // machine time
  double asleep_until_ = 0;            // machine time, while asleep
  double period_ends_ = 0;             // machine time, awake in a sleep
  std::optional<double> next_dark_;    // machine time
  std::optional<double> lag_ends_;     // machine time
  double level_asleep_ = 0;            // when it last fell asleep
  std::optional<double> notified_at_;  // real time
  double last_real_ = 0;
  double speed_ = kSleepSpeed;
  int wakes_this_sleep_ = 0;
  std::map<uint32_t, int> user_wakes_this_sleep_;  // by uid
  uint64_t requested_ = 0;
  uint64_t completed_ = 0;
  uint64_t wakes_served_ = 0;
  uint64_t late_answers_ = 0;
  double longest_answer_ = 0;  // real seconds
  // Of the latest sleep.
  uint64_t full_wakes_ = 0;
  uint64_t dark_wakes_ = 0;
  double highest_level_ = 0;
};

}  // namespace ampervale::sim

#endif  // AMPERVALE_SIM_SLEEP_CYCLE_H_
