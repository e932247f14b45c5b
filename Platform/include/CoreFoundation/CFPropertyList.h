// Property lists from their XML form.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef CFOptionFlags CFPropertyListMutabilityOptions;
enum {
    kCFPropertyListImmutable = 0,
    kCFPropertyListMutableContainers = 1,
    kCFPropertyListMutableContainersAndLeaves = 2
};

// A new property list (dictionary, array, string, data, number or boolean), or null when the data
// is not a well-formed XML property list; then *errorString, when asked for, receives a new text
// that the caller releases. Dates are not supported and are left out of their container.
CFPropertyListRef CFPropertyListCreateFromXMLData(CFAllocatorRef allocator, CFDataRef xmlData,
                                                  CFOptionFlags mutabilityOption, CFStringRef* errorString);

#ifdef __cplusplus
}
#endif
