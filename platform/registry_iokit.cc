// Registry entries and CoreFoundation values, through IOKit.

#include "platform/registry_iokit.h"

#include <mach/mach.h>

#include <vector>

namespace ampervale::platform {

CFHeld<CFStringRef> MakeCFString(const char* text) {
  return CFHeld<CFStringRef>(CFStringCreateWithCString(
      kCFAllocatorDefault, text, kCFStringEncodingUTF8));
}

std::optional<std::string> CFText(CFTypeRef value) {
  if (value == nullptr || CFGetTypeID(value) != CFStringGetTypeID()) {
    return std::nullopt;
  }
  auto string = static_cast<CFStringRef>(value);
  CFIndex size = CFStringGetMaximumSizeForEncoding(CFStringGetLength(string),
                                                   kCFStringEncodingUTF8) +
                 1;
  if (size <= 0) return std::nullopt;
  std::vector<char> buffer(static_cast<size_t>(size));
  if (!CFStringGetCString(string, buffer.data(), size, kCFStringEncodingUTF8)) {
    return std::nullopt;
  }
  return std::string(buffer.data());
}

// MACH_PORT_NULL is the default main port; the dictionary is consumed.
ServiceEntry::ServiceEntry(const char* service_class)
    : entry_(IOServiceGetMatchingService(MACH_PORT_NULL,
                                         IOServiceMatching(service_class))) {}

ServiceEntry::~ServiceEntry() {
  if (entry_ != 0) IOObjectRelease(entry_);
}

CFHeld<CFTypeRef> ServiceEntry::Copy(const char* key) const {
  CFHeld<CFStringRef> name = MakeCFString(key);
  if (entry_ == 0 || name == nullptr) return nullptr;
  return CFHeld<CFTypeRef>(IORegistryEntryCreateCFProperty(
      entry_, name.get(), kCFAllocatorDefault, 0));
}

std::optional<double> ServiceEntry::Number(const char* key) const {
  CFHeld<CFTypeRef> property = Copy(key);
  double value = 0;
  if (property == nullptr ||
      CFGetTypeID(property.get()) != CFNumberGetTypeID() ||
      !CFNumberGetValue(static_cast<CFNumberRef>(property.get()),
                        kCFNumberDoubleType, &value)) {
    return std::nullopt;
  }
  return value;
}

std::optional<uint64_t> ServiceEntry::Integer(const char* key) const {
  CFHeld<CFTypeRef> property = Copy(key);
  auto number = static_cast<CFNumberRef>(property.get());
  int64_t value = 0;
  if (number == nullptr || CFGetTypeID(number) != CFNumberGetTypeID() ||
      CFNumberIsFloatType(number) ||
      !CFNumberGetValue(number, kCFNumberSInt64Type, &value)) {
    return std::nullopt;
  }
  return static_cast<uint64_t>(value);
}

std::optional<bool> ServiceEntry::Boolean(const char* key) const {
  CFHeld<CFTypeRef> property = Copy(key);
  if (property == nullptr ||
      CFGetTypeID(property.get()) != CFBooleanGetTypeID()) {
    return std::nullopt;
  }
  return CFBooleanGetValue(static_cast<CFBooleanRef>(property.get())) != 0;
}

}  // namespace ampervale::platform
