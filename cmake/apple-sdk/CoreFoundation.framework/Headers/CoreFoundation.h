// The part of CoreFoundation the platform seam uses, as Apple publishes it.
#ifndef COREFOUNDATION_COREFOUNDATION_H_
#define COREFOUNDATION_COREFOUNDATION_H_

#include <os/availability.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned char Boolean;
typedef uint8_t UInt8;
typedef uint32_t UInt32;
typedef signed long CFIndex;
typedef unsigned long CFOptionFlags;
typedef unsigned long CFTypeID;

typedef const void* CFTypeRef;
typedef const void* CFPropertyListRef;
typedef const struct __CFAllocator* CFAllocatorRef;
typedef const struct __CFString* CFStringRef;
typedef const struct __CFNumber* CFNumberRef;
typedef const struct __CFBoolean* CFBooleanRef;
typedef const struct __CFData* CFDataRef;
typedef const struct __CFArray* CFArrayRef;
typedef const struct __CFDictionary* CFDictionaryRef;
typedef struct __CFDictionary* CFMutableDictionaryRef;
typedef struct __CFError* CFErrorRef;

// Enumerations with a fixed underlying type, as Apple declares them: in C++
// each is a type of its own, to which a plain integer does not convert.
typedef UInt32 CFStringEncoding;
typedef enum CFStringBuiltInEncodings : CFStringEncoding {
  kCFStringEncodingUTF8 = 0x08000100
} CFStringBuiltInEncodings;

typedef enum CFNumberType : CFIndex {
  kCFNumberSInt64Type = 4,
  kCFNumberDoubleType = 13
} CFNumberType;

typedef enum CFPropertyListFormat : CFIndex {
  kCFPropertyListXMLFormat_v1_0 = 100
} CFPropertyListFormat;

typedef const void* (*CFArrayRetainCallBack)(CFAllocatorRef, const void*);
typedef void (*CFArrayReleaseCallBack)(CFAllocatorRef, const void*);
typedef CFStringRef (*CFArrayCopyDescriptionCallBack)(const void*);
typedef Boolean (*CFArrayEqualCallBack)(const void*, const void*);
typedef struct {
  CFIndex version;
  CFArrayRetainCallBack retain;
  CFArrayReleaseCallBack release;
  CFArrayCopyDescriptionCallBack copyDescription;
  CFArrayEqualCallBack equal;
} CFArrayCallBacks;

typedef const void* (*CFDictionaryRetainCallBack)(CFAllocatorRef, const void*);
typedef void (*CFDictionaryReleaseCallBack)(CFAllocatorRef, const void*);
typedef CFStringRef (*CFDictionaryCopyDescriptionCallBack)(const void*);
typedef Boolean (*CFDictionaryEqualCallBack)(const void*, const void*);
typedef CFOptionFlags (*CFDictionaryHashCallBack)(const void*);
typedef struct {
  CFIndex version;
  CFDictionaryRetainCallBack retain;
  CFDictionaryReleaseCallBack release;
  CFDictionaryCopyDescriptionCallBack copyDescription;
  CFDictionaryEqualCallBack equal;
  CFDictionaryHashCallBack hash;
} CFDictionaryKeyCallBacks;
typedef struct {
  CFIndex version;
  CFDictionaryRetainCallBack retain;
  CFDictionaryReleaseCallBack release;
  CFDictionaryCopyDescriptionCallBack copyDescription;
  CFDictionaryEqualCallBack equal;
} CFDictionaryValueCallBacks;

extern const CFAllocatorRef kCFAllocatorDefault;
extern const CFBooleanRef kCFBooleanTrue;
extern const CFBooleanRef kCFBooleanFalse;
extern const CFArrayCallBacks kCFTypeArrayCallBacks;
extern const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks;
extern const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks;

void CFRelease(CFTypeRef cf);
CFTypeID CFGetTypeID(CFTypeRef cf);

CFTypeID CFStringGetTypeID(void);
CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr,
                                      CFStringEncoding encoding);
CFIndex CFStringGetLength(CFStringRef theString);
CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length,
                                          CFStringEncoding encoding);
Boolean CFStringGetCString(CFStringRef theString, char* buffer,
                           CFIndex bufferSize, CFStringEncoding encoding);

CFTypeID CFNumberGetTypeID(void);
CFNumberRef CFNumberCreate(CFAllocatorRef allocator, CFNumberType theType,
                           const void* valuePtr);
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType,
                         void* valuePtr);
Boolean CFNumberIsFloatType(CFNumberRef number);

CFTypeID CFBooleanGetTypeID(void);
Boolean CFBooleanGetValue(CFBooleanRef boolean);

CFTypeID CFArrayGetTypeID(void);
CFIndex CFArrayGetCount(CFArrayRef theArray);
const void* CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx);
CFArrayRef CFArrayCreate(CFAllocatorRef allocator, const void** values,
                         CFIndex numValues, const CFArrayCallBacks* callBacks);

CFTypeID CFDictionaryGetTypeID(void);
const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key);
CFMutableDictionaryRef CFDictionaryCreateMutable(
    CFAllocatorRef allocator, CFIndex capacity,
    const CFDictionaryKeyCallBacks* keyCallBacks,
    const CFDictionaryValueCallBacks* valueCallBacks);
void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void* key,
                          const void* value);

const UInt8* CFDataGetBytePtr(CFDataRef theData);
CFIndex CFDataGetLength(CFDataRef theData);

CFDataRef CFPropertyListCreateData(CFAllocatorRef allocator,
                                   CFPropertyListRef propertyList,
                                   CFPropertyListFormat format,
                                   CFOptionFlags options, CFErrorRef* error)
    API_AVAILABLE(macos(10.6));
CFStringRef CFErrorCopyDescription(CFErrorRef err) API_AVAILABLE(macos(10.5));

#ifdef __cplusplus
}
#endif

// Dates, for booking and listing the system's wakes
// (IOKit/pwr_mgt/IOPMLib.h).
#ifdef __cplusplus
extern "C" {
#endif
typedef double CFTimeInterval;
typedef CFTimeInterval CFAbsoluteTime;
typedef const struct __CFDate* CFDateRef;
CFAbsoluteTime CFAbsoluteTimeGetCurrent(void);
CFDateRef CFDateCreate(CFAllocatorRef allocator, CFAbsoluteTime at);
CFTypeID CFDateGetTypeID(void);
CFAbsoluteTime CFDateGetAbsoluteTime(CFDateRef theDate);
#ifdef __cplusplus
}
#endif

#endif  // COREFOUNDATION_COREFOUNDATION_H_
