// The power-management strings the platform seam uses, as Apple publishes
// them: C strings, made into CFStrings by the caller.
#ifndef IOKIT_PWR_MGT_IOPMKEYS_H_
#define IOKIT_PWR_MGT_IOPMKEYS_H_

// The type of a scheduled wake from sleep.
#define kIOPMAutoWake "wake"

// Keys of the dictionaries IOPMCopyScheduledPowerEvents lists.
#define kIOPMPowerEventTimeKey "time"
#define kIOPMPowerEventAppNameKey "scheduledby"
#define kIOPMPowerEventTypeKey "eventtype"

#endif  // IOKIT_PWR_MGT_IOPMKEYS_H_
