// The part of IOKit's power management the platform seam uses, as Apple
// publishes it.
#ifndef IOKIT_PWR_MGT_IOPMLIB_H_
#define IOKIT_PWR_MGT_IOPMLIB_H_

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/pwr_mgt/IOPMKeys.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

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
// Released by the caller; NULL when nothing is scheduled.
CFArrayRef IOPMCopyScheduledPowerEvents(void);

#ifdef __cplusplus
}
#endif

#endif  // IOKIT_PWR_MGT_IOPMLIB_H_
