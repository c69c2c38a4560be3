// The part of IOKit's power management the platform seam uses, as Apple
// publishes it.
#ifndef IOKIT_PWR_MGT_IOPMLIB_H_
#define IOKIT_PWR_MGT_IOPMLIB_H_

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define kIOPMAutoWake "wake"

io_connect_t IORegisterForSystemPower(void* refcon,
                                      IONotificationPortRef* thePortRef,
                                      IOServiceInterestCallback callback,
                                      io_object_t* notifier);
IOReturn IODeregisterForSystemPower(io_object_t* notifier);
IOReturn IOAllowPowerChange(io_connect_t kernelPort, intptr_t notificationID);
IOReturn IOPMSchedulePowerEvent(CFDateRef time_to_wake, CFStringRef my_id,
                                CFStringRef type);
IOReturn IOPMCancelScheduledPowerEvent(CFDateRef time_to_wake,
                                       CFStringRef my_id,
                                       CFStringRef wake_or_power_on);

#ifdef __cplusplus
}
#endif

#endif  // IOKIT_PWR_MGT_IOPMLIB_H_
