// The launchd job written with CoreFoundation's property-list writer, the
// one every Mac has: a root daemon loads no library from elsewhere.

#include <CoreFoundation/CoreFoundation.h>

#include <memory>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "platform/property_list.h"

namespace ampervale::platform {

namespace {

struct CFReleaser {
  void operator()(const void* object) const { CFRelease(object); }
};
template <typename Ref>
using CFOwned = std::unique_ptr<std::remove_pointer_t<Ref>, CFReleaser>;

CFOwned<CFStringRef> MakeString(const std::string& text) {
  CFStringRef string = CFStringCreateWithCString(
      kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8);
  if (string == nullptr) {
    throw std::runtime_error("Cannot serialize the launchd job description");
  }
  return CFOwned<CFStringRef>(string);
}

std::string CopyText(CFStringRef string) {
  CFIndex size = CFStringGetMaximumSizeForEncoding(CFStringGetLength(string),
                                                   kCFStringEncodingUTF8) +
                 1;
  std::vector<char> buffer(static_cast<size_t>(size));
  if (!CFStringGetCString(string, buffer.data(), size, kCFStringEncodingUTF8)) {
    return "Cannot serialize the launchd job description";
  }
  return buffer.data();
}

CFOwned<CFArrayRef> MakeArray(const std::vector<std::string>& texts) {
  std::vector<CFOwned<CFStringRef>> strings;
  std::vector<const void*> values;
  for (const std::string& text : texts) {
    strings.push_back(MakeString(text));
    values.push_back(strings.back().get());
  }
  return CFOwned<CFArrayRef>(CFArrayCreate(kCFAllocatorDefault, values.data(),
                                           static_cast<CFIndex>(values.size()),
                                           &kCFTypeArrayCallBacks));
}

// The dictionary retains what it holds; the caller's references go here.
void Set(CFMutableDictionaryRef dictionary, const char* key, CFTypeRef value) {
  CFDictionarySetValue(dictionary, MakeString(key).get(), value);
}

CFOwned<CFMutableDictionaryRef> MakeDictionary(const LaunchJob& job) {
  CFOwned<CFMutableDictionaryRef> dictionary(CFDictionaryCreateMutable(
      kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
      &kCFTypeDictionaryValueCallBacks));
  CFOwned<CFNumberRef> throttle(CFNumberCreate(
      kCFAllocatorDefault, kCFNumberSInt64Type, &job.throttle_interval));
  Set(dictionary.get(), kLabelKey, MakeString(job.label).get());
  Set(dictionary.get(), kProgramArgumentsKey,
      MakeArray(job.program_arguments).get());
  Set(dictionary.get(), kRunAtLoadKey,
      job.run_at_load ? kCFBooleanTrue : kCFBooleanFalse);
  Set(dictionary.get(), kKeepAliveKey,
      job.keep_alive ? kCFBooleanTrue : kCFBooleanFalse);
  Set(dictionary.get(), kThrottleIntervalKey, throttle.get());
  return dictionary;
}

}  // namespace

std::string LaunchJobXML(const LaunchJob& job) {
  CFOwned<CFMutableDictionaryRef> dictionary = MakeDictionary(job);
  CFErrorRef error = nullptr;
  CFOwned<CFDataRef> data(
      CFPropertyListCreateData(kCFAllocatorDefault, dictionary.get(),
                               kCFPropertyListXMLFormat_v1_0, 0, &error));
  if (data == nullptr) {
    CFOwned<CFErrorRef> owned_error(error);
    CFOwned<CFStringRef> description(
        error != nullptr ? CFErrorCopyDescription(error) : nullptr);
    throw std::runtime_error(
        description != nullptr
            ? CopyText(description.get())
            : "Cannot serialize the launchd job description");
  }
  const UInt8* bytes = CFDataGetBytePtr(data.get());
  return std::string(reinterpret_cast<const char*>(bytes),
                     static_cast<size_t>(CFDataGetLength(data.get())));
}

}  // namespace ampervale::platform
