// The battery's registry entry, through IOKit.

#include <IOKit/IOKitLib.h>
#include <mach/mach.h>

#include "platform/battery.h"

namespace ampervale::platform {

namespace {

// A property that is missing or is not a number is absent.
std::optional<double> ReadNumber(io_registry_entry_t entry, const char* name) {
  CFStringRef key = CFStringCreateWithCString(kCFAllocatorDefault, name,
                                              kCFStringEncodingUTF8);
  if (key == nullptr) return std::nullopt;
  CFTypeRef property =
      IORegistryEntryCreateCFProperty(entry, key, kCFAllocatorDefault, 0);
  CFRelease(key);
  if (property == nullptr) return std::nullopt;
  std::optional<double> number;
  double value = 0;
  if (CFGetTypeID(property) == CFNumberGetTypeID() &&
      CFNumberGetValue(static_cast<CFNumberRef>(property), kCFNumberDoubleType,
                       &value)) {
    number = value;
  }
  CFRelease(property);
  return number;
}

}  // namespace

std::optional<BatteryCapacities> ReadBatteryCapacities() {
  // MACH_PORT_NULL is the default main port; the dictionary is consumed.
  io_service_t service = IOServiceGetMatchingService(
      MACH_PORT_NULL, IOServiceMatching("AppleSmartBattery"));
  if (service == 0) return std::nullopt;
  BatteryCapacities capacities;
  capacities.current = ReadNumber(service, "CurrentCapacity");
  capacities.maximum = ReadNumber(service, "MaxCapacity");
  IOObjectRelease(service);
  return capacities;
}

}  // namespace ampervale::platform
