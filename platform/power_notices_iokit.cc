// The root power domain's notices and scheduled wakes, through IOKit. The
// process stays single-threaded: instead of a run loop, Wait receives from
// the notification port's Mach port and dispatches the message itself.

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/IOMessage.h>
#include <IOKit/pwr_mgt/IOPMLib.h>
#include <mach/mach.h>

#include <algorithm>
#include <chrono>
#include <deque>

#include "platform/power_notices.h"

namespace ampervale::platform {

namespace {

// The name the daemon's wakes are booked under, as `pmset -g sched` shows.
constexpr char kWakeOwner[] = "chargelimitd";

// Holds a CoreFoundation object until the end of the scope.
template <typename Ref>
class Owned {
 public:
  explicit Owned(Ref ref) : ref_(ref) {}
  ~Owned() {
    if (ref_ != nullptr) CFRelease(ref_);
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  Ref get() const { return ref_; }

 private:
  Ref ref_;
};

// Scheduling and cancelling take the same date and owner; the booked date
// is kept for the cancel.
int32_t ChangeWake(bool book, CFAbsoluteTime when) {
  Owned<CFDateRef> date(CFDateCreate(kCFAllocatorDefault, when));
  Owned<CFStringRef> owner(CFStringCreateWithCString(
      kCFAllocatorDefault, kWakeOwner, kCFStringEncodingUTF8));
  Owned<CFStringRef> type(CFStringCreateWithCString(
      kCFAllocatorDefault, kIOPMAutoWake, kCFStringEncodingUTF8));
  if (date.get() == nullptr || owner.get() == nullptr ||
      type.get() == nullptr) {
    return kIOReturnError;
  }
  return book ? IOPMSchedulePowerEvent(date.get(), owner.get(), type.get())
              : IOPMCancelScheduledPowerEvent(date.get(), owner.get(),
                                              type.get());
}

class IOKitPowerNotices final : public PowerNotices {
 public:
  IOKitPowerNotices() = default;
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
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::duration<double>(
                                       std::clamp(seconds, 0.0, 3600.0));
    while (received_.empty()) {
      auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return std::nullopt;
      // Room for any interest notification; a larger message is refused by
      // the kernel and reported, never cut.
      union {
        mach_msg_header_t header;
        uint8_t bytes[4096];
      } message{};
      kern_return_t received = mach_msg(
          &message.header, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, sizeof message,
          IONotificationPortGetMachPort(port_),
          static_cast<mach_msg_timeout_t>(left.count()), MACH_PORT_NULL);
      if (received != MACH_MSG_SUCCESS) return std::nullopt;
      // Calls Callout, which queues what the daemon acts on.
      IODispatchCalloutFromMessage(nullptr, &message.header, port_);
    }
    return Next();
  }

  void AllowSleep(uint32_t id) override {
    IOAllowPowerChange(root_, static_cast<intptr_t>(id));
  }

  int32_t BookWake(double seconds) override {
    CancelWake();
    CFAbsoluteTime when = CFAbsoluteTimeGetCurrent() + seconds;
    int32_t code = ChangeWake(true, when);
    if (code == kIOReturnSuccess) booked_ = when;
    return code;
  }

  int32_t CancelWake() override {
    if (!booked_) return kIOReturnSuccess;
    int32_t code = ChangeWake(false, *booked_);
    booked_.reset();
    return code;
  }

  bool broken() const override { return false; }

 private:
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
        notices->received_.push_back({PowerNotice::Kind::kWillSleep, id});
        break;
      case kIOMessageSystemHasPoweredOn:
        notices->received_.push_back({PowerNotice::Kind::kHasWoken, id});
        break;
      default:
        break;
    }
  }

  PowerNotice Next() {
    PowerNotice notice = received_.front();
    received_.pop_front();
    return notice;
  }

  IONotificationPortRef port_ = nullptr;
  io_object_t notifier_ = 0;
  io_connect_t root_ = 0;
  std::deque<PowerNotice> received_;
  std::optional<CFAbsoluteTime> booked_;
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

}  // namespace ampervale::platform
