#ifndef AMPERVALE_PLATFORM_REGISTRY_IOKIT_H_
#define AMPERVALE_PLATFORM_REGISTRY_IOKIT_H_

// CoreFoundation objects and IOKit registry entries for the Mac's side of
// the seam. Included only by the IOKit files.

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

namespace ampervale::platform {

struct CFReleaser {
  void operator()(const void* object) const { CFRelease(object); }
};
// Owns one reference to a CoreFoundation object; empty for null.
template <typename Ref>
using CFHeld = std::unique_ptr<std::remove_pointer_t<Ref>, CFReleaser>;

// A new string holding `text`; empty when it cannot be made.
CFHeld<CFStringRef> MakeCFString(const char* text);

// `value` as UTF-8 when it is a string; absent otherwise.
std::optional<std::string> CFText(CFTypeRef value);

// The registry entry of the first service of class `service_class`,
// released with this object. Reads never throw: a missing entry, a missing
// property and a property of another type all read as absent.
class ServiceEntry {
 public:
  explicit ServiceEntry(const char* service_class);
  ~ServiceEntry();
  ServiceEntry(const ServiceEntry&) = delete;
  ServiceEntry& operator=(const ServiceEntry&) = delete;

  bool found() const { return entry_ != 0; }
  std::optional<double> Number(const char* key) const;
  // A number stored as an integer, as its 64 bits.
  std::optional<uint64_t> Integer(const char* key) const;
  std::optional<bool> Boolean(const char* key) const;

 private:
  CFHeld<CFTypeRef> Copy(const char* key) const;

  io_service_t entry_;
};

}  // namespace ampervale::platform

#endif  // AMPERVALE_PLATFORM_REGISTRY_IOKIT_H_
