// The root power domain's notices and scheduled wakes, through IOKit. The
// process stays single-threaded: instead of a run loop, Wait receives from
// the notification port's Mach port and dispatches the message itself.

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/IOMessage.h>
#include <IOKit/pwr_mgt/IOPMLib.h>
#include <mach/mach.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <deque>
#include <vector>

#include "platform/power_notices.h"
#include "platform/registry_iokit.h"
#include "platform/wake_bookings.h"

namespace ampervale::platform {

namespace {

// The name the daemon's wakes are booked under, as `pmset -g sched` shows.
constexpr char kWakeOwner[] = "chargelimitd";
// The kernel's name for the root domain's capability bits.
constexpr char kCapabilitiesKey[] = "System Capabilities";

// Seconds on a clock that counts the time asleep and is never set:
// mach_absolute_time stops while the machine sleeps, and the wall clock may
// be stepped by the user or the network time.
double SleepCountingSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_RAW, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

// Books or cancels the wake that `date`, `owner` and `type` name together.
int32_t ChangeWake(bool book, CFDateRef date, CFStringRef owner,
                   CFStringRef type) {
  if (date == nullptr || owner == nullptr || type == nullptr) {
    return kIOReturnError;
  }
  return book ? IOPMSchedulePowerEvent(date, owner, type)
              : IOPMCancelScheduledPowerEvent(date, owner, type);
}

// A wake of this system's at `when`; the cancel takes the booked date.
int32_t ChangeOwnWake(bool book, CFAbsoluteTime when) {
  CFHeld<CFDateRef> date(CFDateCreate(kCFAllocatorDefault, when));
  return ChangeWake(book, date.get(), MakeCFString(kWakeOwner).get(),
                    MakeCFString(kIOPMAutoWake).get());
}

// One entry of the system's list, with the values to cancel it by.
struct ListedEvent {
  ScheduledEvent described;
  CFDateRef date;
  CFStringRef owner;
  CFStringRef type;
};

// The entries of the list that name a date, an owner and a type; the list
// holds what they point to.
std::vector<ListedEvent> DescribeEvents(CFArrayRef list) {
  std::vector<ListedEvent> events;
  CFHeld<CFStringRef> keys[] = {MakeCFString(kIOPMPowerEventTimeKey),
                                MakeCFString(kIOPMPowerEventAppNameKey),
                                MakeCFString(kIOPMPowerEventTypeKey)};
  if (!keys[0] || !keys[1] || !keys[2]) return events;
  for (CFIndex i = 0; i < CFArrayGetCount(list); ++i) {
    CFTypeRef entry = CFArrayGetValueAtIndex(list, i);
    if (entry == nullptr || CFGetTypeID(entry) != CFDictionaryGetTypeID()) {
      continue;
    }
    auto dictionary = static_cast<CFDictionaryRef>(entry);
    CFTypeRef date = CFDictionaryGetValue(dictionary, keys[0].get());
    CFTypeRef owner = CFDictionaryGetValue(dictionary, keys[1].get());
    CFTypeRef type = CFDictionaryGetValue(dictionary, keys[2].get());
    std::optional<std::string> owner_text = CFText(owner);
    std::optional<std::string> type_text = CFText(type);
    if (date == nullptr || CFGetTypeID(date) != CFDateGetTypeID() ||
        !owner_text || !type_text) {
      continue;
    }
    auto listed_date = static_cast<CFDateRef>(date);
    events.push_back(
        {{CFDateGetAbsoluteTime(listed_date), *owner_text, *type_text},
         listed_date,
         static_cast<CFStringRef>(owner),
         static_cast<CFStringRef>(type)});
  }
  return events;
}

// A wake this registration booked.
struct Booking {
  CFAbsoluteTime date;  // as booked, for the cancel
  double seconds;       // how far ahead it was booked
  double bookedAt;      // SleepCountingSeconds() at the booking
};

class IOKitPowerNotices final : public PowerNotices {
 public:
  IOKitPowerNotices() : buffer_(kFirstBufferWords) {}
  ~IOKitPowerNotices() override {
    CancelWake();
    if (notifier_ != 0) IODeregisterForSystemPower(&notifier_);
    if (root_ != 0) IOServiceClose(root_);
    if (port_ != nullptr) IONotificationPortDestroy(port_);
  }
  IOKitPowerNotices(const IOKitPowerNotices&) = delete;
  IOKitPowerNotices& operator=(const IOKitPowerNotices&) = delete;

  bool Register() {
    root_ = IORegisterForSystemPower(this, &port_, &Callout, &notifier_);
    return root_ != 0;
  }

  std::optional<PowerNotice> Wait(double seconds) override {
    // libc++'s steady clock counts the time asleep; a receive timeout does
    // not, so the time left is measured again after each receive.
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::duration<double>(
                                       std::clamp(seconds, 0.0, 3600.0));
    while (received_.empty() && !broken_) {
      auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) break;
      broken_ = !Receive(static_cast<mach_msg_timeout_t>(left.count()));
    }
    if (received_.empty()) return std::nullopt;
    PowerNotice notice = received_.front();
    received_.pop_front();
    return notice;
  }

  void AllowSleep(uint32_t id) override {
    IOAllowPowerChange(root_, static_cast<intptr_t>(id));
  }

  int32_t BookWake(double seconds) override {
    if (!std::isfinite(seconds) || seconds < 0) return kIOReturnBadArgument;
    CancelWake();
    Booking booking{CFAbsoluteTimeGetCurrent() + seconds, seconds,
                    SleepCountingSeconds()};
    int32_t code = ChangeOwnWake(true, booking.date);
    if (code == kIOReturnSuccess) booked_ = booking;
    return code;
  }

  int32_t CancelWake() override {
    if (!booked_) return kIOReturnSuccess;
    int32_t code = ChangeOwnWake(false, booked_->date);
    booked_.reset();
    return code;
  }

  // Only the daemon registers, one run at a time (its lock), so a wake under
  // this system's name that this registration does not hold is a dead
  // run's. A refused cancel (at the table's limit even a cancel is refused)
  // leaves the wake for the next registration to try again.
  void CancelLeftoverWakes() override {
    CFHeld<CFArrayRef> list(IOPMCopyScheduledPowerEvents());
    if (list == nullptr || CFGetTypeID(list.get()) != CFArrayGetTypeID()) {
      return;
    }
    std::vector<ListedEvent> listed = DescribeEvents(list.get());
    std::vector<ScheduledEvent> events;
    for (const ListedEvent& event : listed) events.push_back(event.described);
    std::optional<double> kept;
    if (booked_) kept = booked_->date;
    for (size_t i : LeftoverWakes(events, kWakeOwner, kept)) {
      ChangeWake(false, listed[i].date, listed[i].owner, listed[i].type);
    }
  }

  bool broken() const override { return broken_; }

 private:
  // Room for any interest notification; a larger message is received whole
  // into a buffer grown to the size the kernel reports.
  static constexpr size_t kFirstBufferWords = 4096 / sizeof(uint64_t);

  // Receives and dispatches at most one message, waiting at most
  // `milliseconds`. False when the port can deliver nothing more.
  bool Receive(mach_msg_timeout_t milliseconds) {
    mach_port_t port = IONotificationPortGetMachPort(port_);
    for (;;) {
      auto* header = reinterpret_cast<mach_msg_header_t*>(buffer_.data());
      auto size =
          static_cast<mach_msg_size_t>(buffer_.size() * sizeof(uint64_t));
      mach_msg_return_t code =
          mach_msg(header, MACH_RCV_MSG | MACH_RCV_LARGE | MACH_RCV_TIMEOUT, 0,
                   size, port, milliseconds, MACH_PORT_NULL);
      switch (code) {
        case MACH_MSG_SUCCESS:
          // Calls Callout, which queues what the daemon acts on.
          IODispatchCalloutFromMessage(nullptr, header, port_);
          return true;
        case MACH_RCV_TOO_LARGE:
          // The message stays queued; its size is in the header.
          Grow(header->msgh_size);
          continue;
        case MACH_RCV_TIMED_OUT:
        case MACH_RCV_INTERRUPTED:
          return true;
        default:
          // A dead, moved or invalid port, or a message the kernel could
          // not hand over: a new registration starts afresh.
          return false;
      }
    }
  }

  // Room for a message of `needed` bytes and the largest trailer.
  void Grow(mach_msg_size_t needed) {
    size_t bytes = size_t{needed} + sizeof(mach_msg_max_trailer_t);
    size_t words = (bytes + sizeof(uint64_t) - 1) / sizeof(uint64_t);
    buffer_.resize(std::max(words, buffer_.size() * 2));
  }

  static void Callout(void* self, io_service_t, uint32_t type, void* argument) {
    auto* notices = static_cast<IOKitPowerNotices*>(self);
    auto id = static_cast<uint32_t>(reinterpret_cast<intptr_t>(argument));
    switch (type) {
      case kIOMessageCanSystemSleep:
        // This system never stands in the way of an idle sleep; it acts
        // when the sleep is certain.
        IOAllowPowerChange(notices->root_,
                           reinterpret_cast<intptr_t>(argument));
        break;
      case kIOMessageSystemWillSleep:
        notices->received_.push_back(
            {PowerNotice::Kind::kWillSleep, id, std::nullopt});
        break;
      case kIOMessageSystemHasPoweredOn:
        notices->received_.push_back(notices->JudgeFullWake());
        break;
      default:
        break;
    }
  }

  // A booking stands until its time has come, so that an earlier wake
  // (the user's) leaves it to be cancelled.
  PowerNotice JudgeFullWake() {
    PowerNotice notice{PowerNotice::Kind::kHasWoken, 0, std::nullopt};
    if (!booked_) return notice;
    WakeJudgement judgement =
        JudgeWake(booked_->seconds, SleepCountingSeconds() - booked_->bookedAt);
    notice.ownWakeAfter = judgement.ownWakeAfter;
    if (judgement.bookingPassed) booked_.reset();
    return notice;
  }

  IONotificationPortRef port_ = nullptr;
  io_object_t notifier_ = 0;
  io_connect_t root_ = 0;
  std::vector<uint64_t> buffer_;  // words, for the header's alignment
  std::deque<PowerNotice> received_;
  std::optional<Booking> booked_;
  bool broken_ = false;
};

}  // namespace

PowerRegistration RegisterForPowerNotices() {
  PowerRegistration result;
  auto notices = std::make_unique<IOKitPowerNotices>();
  if (!notices->Register()) {
    result.failure = "IORegisterForSystemPower failed";
    return result;
  }
  result.notices = std::move(notices);
  return result;
}

std::optional<uint64_t> ReadSystemCapabilities() {
  return ServiceEntry("IOPMrootDomain").Integer(kCapabilitiesKey);
}

}  // namespace ampervale::platform
