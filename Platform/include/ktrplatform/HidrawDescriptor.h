// What the HID manager needs from a device's report descriptor: the usage of its
// first application collection and the size of its longest report of each kind.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ktrplatform::hidraw {

struct DescriptorSummary {
    // Usage page and usage of the first top-level application collection.
    bool hasPrimaryUsage = false;
    uint32_t primaryUsagePage = 0;
    uint32_t primaryUsage = 0;
    // Reports carry a report ID (a Report ID item was seen).
    bool numbered = false;
    // Longest report of each kind in bytes: the bits of every main item of one report ID added up
    // and rounded up to whole bytes, plus 1 for the ID byte when reports are numbered; 0 when the
    // descriptor declares no report of that kind. Saturates at kMaxReportSize.
    uint32_t maxInputReportSize = 0;
    uint32_t maxOutputReportSize = 0;
    uint32_t maxFeatureReportSize = 0;
    // False when something was ignored: an item cut short by the end (parsing stops there), a
    // reserved item, a report ID outside 1-255, a pop without push, a push too deep, a collection
    // closed without being opened or left open. What was read up to then still counts.
    bool wellFormed = true;
};

constexpr uint32_t kMaxReportSize = 0x7FFFFFFF;

// Reads exactly `length` bytes; never more.
DescriptorSummary summarizeDescriptor(const uint8_t* data, size_t length);

}  // namespace ktrplatform::hidraw
