// The return codes of IOKit, as Apple publishes them: macros, which is why
// the project's own constants carry other names.
#ifndef IOKIT_IORETURN_H_
#define IOKIT_IORETURN_H_

#include <mach/error.h>
#include <mach/kern_return.h>

typedef kern_return_t IOReturn;

#define sys_iokit err_system(0x38)
#define sub_iokit_common err_sub(0)
#define iokit_common_err(code) (sys_iokit | sub_iokit_common | (code))

#define kIOReturnSuccess KERN_SUCCESS
#define kIOReturnError iokit_common_err(0x2bc)
#define kIOReturnNotPrivileged iokit_common_err(0x2c1)
#define kIOReturnBadArgument iokit_common_err(0x2c2)
#define kIOReturnNotResponding iokit_common_err(0x2ed)

#endif  // IOKIT_IORETURN_H_
