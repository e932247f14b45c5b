#include <string>

#include "CFRuntime.h"
#include "PropertyList.h"

CFPropertyListRef CFPropertyListCreateFromXMLData(CFAllocatorRef, CFDataRef xmlData, CFOptionFlags mutabilityOption,
                                                  CFStringRef* errorString) {
    if (errorString) *errorString = nullptr;
    std::string error;
    CFPropertyListRef result = nullptr;
    if (!ktrcf::isa(xmlData, ktrcf::kTypeIDData)) {
        error = "no data";
    } else if (mutabilityOption > kCFPropertyListMutableContainersAndLeaves) {
        error = "unknown mutability option";
    } else {
        result = ktrcf::parseXmlPropertyList(reinterpret_cast<const char*>(CFDataGetBytePtr(xmlData)),
                                             static_cast<size_t>(CFDataGetLength(xmlData)), mutabilityOption, &error);
    }
    if (result == nullptr && errorString) *errorString = ktrcf::makeString(error);
    return result;
}
