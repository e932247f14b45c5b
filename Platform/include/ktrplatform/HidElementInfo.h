// The description of a device's element from which a device source builds it.
#pragma once

#include <IOKit/hid/IOHIDKeys.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ktrplatform {

struct ElementInfo {
    IOHIDElementType type = kIOHIDElementTypeInput_Button;
    IOHIDElementCollectionType collectionType = kIOHIDElementCollectionTypePhysical;  // collections only
    uint32_t usagePage = 0;
    uint32_t usage = 0;
    // 0: the element's position in the device's element order, counted from 1.
    IOHIDElementCookie cookie = 0;
    std::string name;  // empty: the element has no name
    uint32_t reportID = 0;
    uint32_t reportSize = 1;
    uint32_t reportCount = 1;
    uint32_t unit = 0;
    uint32_t unitExponent = 0;
    int64_t logicalMin = 0;
    int64_t logicalMax = 1;
    int64_t physicalMin = 0;
    int64_t physicalMax = 1;
    bool isVirtual = false;
    bool isRelative = false;
    bool isWrapping = false;
    bool isArray = false;
    bool isNonLinear = false;
    bool hasPreferredState = true;
    bool hasNullState = false;
    int64_t initialValue = 0;
    // A collection's elements; they follow it in the device's element order.
    std::vector<ElementInfo> children;

    static ElementInfo button(uint32_t usagePage, uint32_t usage);
    static ElementInfo axis(uint32_t usagePage, uint32_t usage, int64_t logicalMin, int64_t logicalMax,
                            int64_t physicalMin, int64_t physicalMax);
    static ElementInfo output(uint32_t usagePage, uint32_t usage, uint32_t reportSize, uint32_t reportCount);
    static ElementInfo feature(uint32_t usagePage, uint32_t usage, uint32_t reportSize, uint32_t reportCount);
    static ElementInfo collection(IOHIDElementCollectionType collectionType, uint32_t usagePage, uint32_t usage,
                                  std::vector<ElementInfo> children);
};

}  // namespace ktrplatform
