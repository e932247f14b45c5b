#include <ktrplatform/HidrawDescriptor.h>

#include <algorithm>
#include <array>
#include <limits>

namespace ktrplatform::hidraw {

namespace {

enum ItemType : uint8_t { kMain = 0, kGlobal = 1, kLocal = 2, kReserved = 3 };
enum MainTag : uint8_t { kInput = 8, kOutput = 9, kCollection = 10, kFeature = 11, kEndCollection = 12 };
enum GlobalTag : uint8_t { kUsagePage = 0, kReportSize = 7, kReportID = 8, kReportCount = 9, kPush = 10, kPop = 11 };
enum LocalTag : uint8_t { kUsage = 0 };
constexpr uint8_t kLongItemPrefix = 0xFE;
constexpr uint32_t kApplicationCollection = 1;
// The HID class allows far fewer; deeper pushes only come from broken descriptors.
constexpr size_t kMaxPushDepth = 8;

struct Globals {
    uint32_t usagePage = 0;
    uint32_t reportSize = 0;
    uint32_t reportCount = 0;
    uint32_t reportID = 0;
};

struct ReportBits {
    uint64_t bits = 0;
    bool declared = false;
};

uint64_t saturatingAdd(uint64_t a, uint64_t b) {
    return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max() : a + b;
}

uint32_t reportBytes(const ReportBits& report, bool numbered) {
    const uint64_t bytes = report.bits / 8 + (report.bits % 8 != 0 ? 1 : 0) + (numbered ? 1 : 0);
    return static_cast<uint32_t>(std::min<uint64_t>(bytes, kMaxReportSize));
}

}  // namespace

DescriptorSummary summarizeDescriptor(const uint8_t* data, size_t length) {
    DescriptorSummary out;
    if (data == nullptr) length = 0;

    Globals globals;
    std::array<Globals, kMaxPushDepth> stack{};
    size_t stackDepth = 0;
    bool haveUsage = false;
    uint32_t usage = 0;
    uint8_t usageSize = 0;
    uint32_t collectionDepth = 0;
    // Input, output, feature; one entry per report ID (0 for unnumbered reports).
    std::array<std::array<ReportBits, 256>, 3> reports{};

    size_t pos = 0;
    while (pos < length) {
        const uint8_t prefix = data[pos++];
        if (prefix == kLongItemPrefix) {
            // No long item is defined; only its length matters, to step over it.
            if (length - pos < 2) {
                out.wellFormed = false;
                break;
            }
            const size_t size = data[pos];
            pos += 2;
            if (length - pos < size) {
                out.wellFormed = false;
                break;
            }
            pos += size;
            continue;
        }
        const size_t size = (prefix & 3) == 3 ? 4 : (prefix & 3);
        if (length - pos < size) {
            out.wellFormed = false;
            break;
        }
        uint32_t value = 0;
        for (size_t i = 0; i < size; ++i) value |= static_cast<uint32_t>(data[pos + i]) << (8 * i);
        pos += size;

        const uint8_t tag = prefix >> 4;
        switch ((prefix >> 2) & 3) {
            case kMain: {
                int kind = -1;
                switch (tag) {
                    case kInput:
                        kind = 0;
                        break;
                    case kOutput:
                        kind = 1;
                        break;
                    case kFeature:
                        kind = 2;
                        break;
                    case kCollection:
                        if (collectionDepth == 0 && !out.hasPrimaryUsage && value == kApplicationCollection) {
                            out.hasPrimaryUsage = true;
                            out.primaryUsagePage = haveUsage && usageSize == 4 ? usage >> 16 : globals.usagePage;
                            out.primaryUsage = haveUsage && usageSize == 4 ? usage & 0xFFFF : usage;
                        }
                        ++collectionDepth;
                        break;
                    case kEndCollection:
                        if (collectionDepth == 0)
                            out.wellFormed = false;
                        else
                            --collectionDepth;
                        break;
                    default:
                        out.wellFormed = false;
                        break;
                }
                if (kind >= 0) {
                    ReportBits& report = reports[kind][globals.reportID];
                    report.declared = true;
                    report.bits = saturatingAdd(report.bits, uint64_t{globals.reportSize} * globals.reportCount);
                }
                // Local items describe the next main item only.
                haveUsage = false;
                usage = 0;
                usageSize = 0;
                break;
            }
            case kGlobal:
                switch (tag) {
                    case kUsagePage:
                        globals.usagePage = value;
                        break;
                    case kReportSize:
                        globals.reportSize = value;
                        break;
                    case kReportCount:
                        globals.reportCount = value;
                        break;
                    case kReportID:
                        if (value == 0 || value > 255) {
                            out.wellFormed = false;
                        } else {
                            globals.reportID = value;
                            out.numbered = true;
                        }
                        break;
                    case kPush:
                        if (stackDepth == stack.size())
                            out.wellFormed = false;
                        else
                            stack[stackDepth++] = globals;
                        break;
                    case kPop:
                        if (stackDepth == 0)
                            out.wellFormed = false;
                        else
                            globals = stack[--stackDepth];
                        break;
                    default:
                        break;
                }
                break;
            case kLocal:
                if (tag == kUsage && !haveUsage) {
                    haveUsage = true;
                    usage = value;
                    usageSize = static_cast<uint8_t>(size);
                }
                break;
            case kReserved:
                out.wellFormed = false;
                break;
        }
    }
    if (collectionDepth != 0) out.wellFormed = false;

    uint32_t* const maxima[3] = {&out.maxInputReportSize, &out.maxOutputReportSize, &out.maxFeatureReportSize};
    for (size_t kind = 0; kind < 3; ++kind) {
        for (size_t id = 0; id < 256; ++id) {
            const ReportBits& report = reports[kind][id];
            if (!report.declared) continue;
            // With numbered reports every main item must follow a Report ID.
            if (out.numbered && id == 0) out.wellFormed = false;
            *maxima[kind] = std::max(*maxima[kind], reportBytes(report, out.numbered));
        }
    }
    return out;
}

}  // namespace ktrplatform::hidraw
