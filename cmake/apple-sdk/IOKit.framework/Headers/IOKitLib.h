// The part of IOKit the platform seam uses, as Apple publishes it.
#ifndef IOKIT_IOKITLIB_H_
#define IOKIT_IOKITLIB_H_

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOReturn.h>
#include <mach/mach.h>
#include <os/availability.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef mach_port_t io_object_t;
typedef io_object_t io_connect_t;
typedef io_object_t io_registry_entry_t;
typedef io_object_t io_service_t;
typedef UInt32 IOOptionBits;

// Both names stand for MACH_PORT_NULL, the default main port. Declared so
// that the cross check refuses the newer one where macOS 11 lacks it.
extern const mach_port_t kIOMainPortDefault API_AVAILABLE(macos(12.0));
extern const mach_port_t kIOMasterPortDefault
    API_DEPRECATED_WITH_REPLACEMENT("kIOMainPortDefault", macos(10.0, 12.0));

CFMutableDictionaryRef IOServiceMatching(const char* name);
io_service_t IOServiceGetMatchingService(mach_port_t mainPort,
                                         CFDictionaryRef matching);
kern_return_t IOServiceOpen(io_service_t service, task_port_t owningTask,
                            uint32_t type, io_connect_t* connect);
kern_return_t IOServiceClose(io_connect_t connect);
kern_return_t IOObjectRelease(io_object_t object);
kern_return_t IOConnectCallStructMethod(
    mach_port_t connection, uint32_t selector, const void* inputStruct,
    size_t inputStructCnt, void* outputStruct, size_t* outputStructCnt)
    API_AVAILABLE(macos(10.5));
CFTypeRef IORegistryEntryCreateCFProperty(io_registry_entry_t entry,
                                          CFStringRef key,
                                          CFAllocatorRef allocator,
                                          IOOptionBits options);

#ifdef __cplusplus
}
#endif

// Notification ports, for the system power notices (pwr_mgt/IOPMLib.h).
#ifdef __cplusplus
extern "C" {
#endif
typedef struct IONotificationPort* IONotificationPortRef;
typedef void (*IOServiceInterestCallback)(void* refcon, io_service_t service,
                                          uint32_t messageType,
                                          void* messageArgument);
mach_port_t IONotificationPortGetMachPort(IONotificationPortRef notify);
void IODispatchCalloutFromMessage(void* unused, mach_msg_header_t* msg,
                                  void* reference);
void IONotificationPortDestroy(IONotificationPortRef notify);
#ifdef __cplusplus
}
#endif

#endif  // IOKIT_IOKITLIB_H_
