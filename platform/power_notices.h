#ifndef AMPERVALE_PLATFORM_POWER_NOTICES_H_
#define AMPERVALE_PLATFORM_POWER_NOTICES_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// The OS seam for the system's sleep and wake: the root power domain's
// notices on a Mac, the simulated Mac's power channel elsewhere. Nothing
// above this header knows which.
namespace ampervale::platform {

struct PowerNotice {
  enum class Kind {
    kWillSleep,  // answer with AllowSleep(id) soon: the system waits for it
    kHasWoken,   // back to full wake (the display on)
  };
  Kind kind;
  uint32_t id = 0;  // kWillSleep: the notice to allow
  // kHasWoken: the wake this registration booked, served at its time, and
  // the machine's seconds since it was booked. Absent for any other wake
  // (the user, another program's booking, the adapter plugged in).
  std::optional<double> ownWakeAfter;
};

// The root power domain's "System Capabilities": bit kCapabilityCPU while
// the machine runs, kCapabilityGraphics only in a full wake (never in a
// dark wake, nor between "will sleep" and the next "has woken").
inline constexpr uint64_t kCapabilityCPU = 0x1;
inline constexpr uint64_t kCapabilityGraphics = 0x2;
// Absent when the root domain or the property cannot be read.
std::optional<uint64_t> ReadSystemCapabilities();

// One registration for the system's power notices; destroying it
// deregisters and so drops a wake it booked. Single-threaded: notices are
// delivered only inside Wait.
class PowerNotices {
 public:
  virtual ~PowerNotices() = default;

  // The next notice, waiting at most `seconds` for it; absent when none
  // came in time or the registration broke. Notices that came while
  // BookWake or CancelWake waited for its answer are delivered first.
  virtual std::optional<PowerNotice> Wait(double seconds) = 0;

  // Lets the sleep of the "will sleep" notice `id` go ahead.
  virtual void AllowSleep(uint32_t id) = 0;

  // Asks for the machine to be woken `seconds` of its time from now,
  // replacing a wake booked before. Returns the system's answer: success
  // only when the wake is booked. A booked wake is a full wake: on a Mac
  // it lights the display.
  virtual int32_t BookWake(double seconds) = 0;
  // Drops the booked wake, if any. Returns the system's answer.
  virtual int32_t CancelWake() = 0;
  // Cancels the wakes booked under this system's name that no live
  // registration holds (on a Mac they outlive the process that booked
  // them), keeping this registration's own.
  virtual void CancelLeftoverWakes() = 0;

  // True once the registration can deliver nothing more (the simulator
  // went away): the caller drops it and registers again later.
  virtual bool broken() const = 0;
};

struct PowerRegistration {
  std::unique_ptr<PowerNotices> notices;  // null when registering failed
  std::string failure;                    // why, for people
};

PowerRegistration RegisterForPowerNotices();

}  // namespace ampervale::platform

#endif  // AMPERVALE_PLATFORM_POWER_NOTICES_H_
