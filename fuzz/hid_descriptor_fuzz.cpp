// The report descriptor summary on arbitrary bytes: it must read nothing past the
// end, give the same answer every time and keep its numbers within their bounds.
#include <ktrplatform/HidrawDescriptor.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace hr = ktrplatform::hidraw;

static bool same(const hr::DescriptorSummary& a, const hr::DescriptorSummary& b) {
    return a.hasPrimaryUsage == b.hasPrimaryUsage && a.primaryUsagePage == b.primaryUsagePage &&
           a.primaryUsage == b.primaryUsage && a.numbered == b.numbered &&
           a.maxInputReportSize == b.maxInputReportSize && a.maxOutputReportSize == b.maxOutputReportSize &&
           a.maxFeatureReportSize == b.maxFeatureReportSize && a.wellFormed == b.wellFormed;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const hr::DescriptorSummary s = hr::summarizeDescriptor(data, size);
    if (!same(s, hr::summarizeDescriptor(data, size))) __builtin_trap();
    if (s.maxInputReportSize > hr::kMaxReportSize || s.maxOutputReportSize > hr::kMaxReportSize ||
        s.maxFeatureReportSize > hr::kMaxReportSize)
        __builtin_trap();
    if (!s.hasPrimaryUsage && (s.primaryUsagePage != 0 || s.primaryUsage != 0)) __builtin_trap();

    // Every prefix is a descriptor cut short: still answered, still within the bytes it is given.
    if (size > 0) {
        const hr::DescriptorSummary cut = hr::summarizeDescriptor(data, size / 2);
        if (cut.maxInputReportSize > hr::kMaxReportSize) __builtin_trap();
    }
    return 0;
}
