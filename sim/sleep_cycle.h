#ifndef AMPERVALE_SIM_SLEEP_CYCLE_H_
#define AMPERVALE_SIM_SLEEP_CYCLE_H_

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace ampervale::sim {

class SimulatedMac;

// The simulated Mac's sleep and wake, as the clients registered on power
// connections see them. A sleep runs in three steps: "will sleep" to every
// client, waiting up to kAnswerLimit of real time for each to allow it;
// asleep, machine time runs at kSleepSpeed without the host's clocks, up to
// the earliest booked wake or the end of the sleep; at a booked wake, "has
// woken" to every client and the next sleep begins at once, at the end
// "has woken" and the machine stays awake.
class SleepCycle {
 public:
  static constexpr double kAnswerLimit = 30;  // real seconds, as on a Mac
  // Machine seconds per real second while asleep: ten hours in about 3 s.
  static constexpr double kSleepSpeed = 3 * 3600;
  // Tests run their nights faster.
  void set_speed(double machine_seconds_per_second) {
    speed_ = machine_seconds_per_second;
  }
  // Booked wakes served in one sleep at most; past them, a client that
  // keeps booking wakes for now cannot hold the sleep from its end.
  static constexpr int kMaxWakesPerSleep = 1000;

  // A power connection registered; returns its client number.
  uint32_t Register();
  // Its connection closed: drops its booked wake and any answer owed.
  void Deregister(uint32_t client);
  void Allow(uint32_t client, uint32_t notice);
  // `seconds` of machine time after `now`; a booking that is not a finite
  // number of seconds, zero or more, is ignored.
  void BookWake(uint32_t client, double seconds, double now);
  void CancelWake(uint32_t client);
  // The notices not yet sent to `client`, as they go on the wire.
  std::vector<uint8_t> TakeNotices(uint32_t client);

  // Starts a sleep of `seconds` machine time. Returns a ticket for
  // Finished. Throws NativeControlError while a sleep is under way.
  uint64_t RequestSleep(SimulatedMac& mac, double seconds);
  bool Finished(uint64_t ticket) const { return completed_ >= ticket; }

  // True while asleep: SMC and battery requests wait.
  bool asleep() const { return phase_ == Phase::kAsleep; }

  // Moves the sleep on; after every turn of the server.
  void Turn(SimulatedMac& mac, double real_now);

  // For the live view: "asleep until 03:12:40; 1 client(s), 2 booked
  // wake(s) served, 0 late answer(s)".
  std::string Summary() const;

  // For "ampsim state": asleep, served wakes, late answers and more.
  nlohmann::json StateJson() const;

 private:
  enum class Phase { kAwake, kNotifying, kAsleep };
  struct Client {
    std::optional<double> wake_at;  // machine time
    bool owes_answer = false;
    std::vector<uint8_t> notices;
  };

  void Send(uint32_t type, uint32_t notice);
  void Notify(SimulatedMac& mac);
  void FallAsleep(SimulatedMac& mac);
  void SleepOn(SimulatedMac& mac, double real_seconds);
  void Wake(SimulatedMac& mac, bool booked);
  // The earliest booked wake, when the sleep serves it before its end.
  std::optional<double> WakeBeforeEnd() const;

  std::map<uint32_t, Client> clients_;
  uint32_t last_client_ = 0;
  uint32_t notice_ = 0;
  Phase phase_ = Phase::kAwake;
  double sleep_ends_ = 0;              // machine time
  double asleep_until_ = 0;            // machine time, while asleep
  std::optional<double> notified_at_;  // real time
  double last_real_ = 0;
  double speed_ = kSleepSpeed;
  int wakes_this_sleep_ = 0;
  uint64_t requested_ = 0;
  uint64_t completed_ = 0;
  uint64_t wakes_served_ = 0;
  uint64_t late_answers_ = 0;
  double longest_answer_ = 0;  // real seconds
};

}  // namespace ampervale::sim

#endif  // AMPERVALE_SIM_SLEEP_CYCLE_H_
