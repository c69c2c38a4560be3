// The system power messages the platform seam handles, as Apple publishes
// them.
#ifndef IOKIT_IOMESSAGE_H_
#define IOKIT_IOMESSAGE_H_

#include <IOKit/IOReturn.h>

#define iokit_common_msg(message) \
  (UInt32)(sys_iokit | sub_iokit_common | (message))

#define kIOMessageCanSystemSleep iokit_common_msg(0x270)
#define kIOMessageSystemWillSleep iokit_common_msg(0x280)
#define kIOMessageSystemWillNotSleep iokit_common_msg(0x290)
#define kIOMessageSystemHasPoweredOn iokit_common_msg(0x300)
#define kIOMessageSystemWillPowerOn iokit_common_msg(0x320)

#endif  // IOKIT_IOMESSAGE_H_
