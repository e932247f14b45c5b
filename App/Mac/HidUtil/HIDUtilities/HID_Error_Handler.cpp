#include "HID_Error_Handler.h"

#include <stdio.h>

namespace {

// One line of a report, with its terminating zero.
constexpr size_t kReportSize = 256;

}  // namespace

void hu_FormatError(char* outText, size_t inSize, const char* inErrorCStr) {
    if (!outText || !inSize) return;
    snprintf(outText, inSize, "%s", inErrorCStr ? inErrorCStr : "");
}

void hu_FormatErrorNum(char* outText, size_t inSize, const char* inErrorCStr, int32_t inErrorNum) {
    if (!outText || !inSize) return;
    snprintf(outText, inSize, "%s #%d (0x%x)", inErrorCStr ? inErrorCStr : "", static_cast<int>(inErrorNum),
             static_cast<unsigned>(inErrorNum));
}

void HIDReportError(const char* inErrorCStr) {
    char text[kReportSize];
    hu_FormatError(text, sizeof text, inErrorCStr);
}

void HIDReportErrorNum(const char* inErrorCStr, int32_t inErrorNum) {
    char text[kReportSize];
    hu_FormatErrorNum(text, sizeof text, inErrorCStr, inErrorNum);
}
