// Conversion between libplist trees and CoreFoundation property lists.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <plist/plist.h>

#include <string>

namespace ktrcf {

// Deeper nesting than any property list here needs; bounds the recursion on damaged input.
constexpr int kMaxPropertyListDepth = 64;

struct PlistConversion {
    CFPropertyListMutabilityOptions mutability = kCFPropertyListImmutable;
    // Set when nodes had to be left out for lying too deep, or for having no counterpart (dates, UIDs).
    bool tooDeep = false;
    bool unsupported = false;
};

// New reference, or null when the node itself is left out.
CFPropertyListRef propertyListFromPlist(plist_t node, PlistConversion& conversion, int depth = 0);
// New node, or null for a value that is no property-list type. Nested values of no
// property-list type, and dictionary entries whose key is no string, are left out.
plist_t plistFromPropertyList(CFPropertyListRef value, int depth = 0);

// Parses an XML property list; null with a reason in *error when it is malformed, too large or too
// deeply nested. Values of no counterpart are left out of their container.
CFPropertyListRef parseXmlPropertyList(const char* bytes, size_t length, CFPropertyListMutabilityOptions mutability,
                                       std::string* error);

}  // namespace ktrcf
