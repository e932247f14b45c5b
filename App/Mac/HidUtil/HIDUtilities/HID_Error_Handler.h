// Failure reports of the library. The text is formatted and then dropped: the caller's
// result code is what carries the failure.
#pragma once

#include <stddef.h>
#include <stdint.h>

void HIDReportError(const char* inErrorCStr);
// "<message> #<decimal> (0x<hex>)".
void HIDReportErrorNum(const char* inErrorCStr, int32_t inErrorNum);

// The reporters' formatting, into a buffer of inSize bytes; longer texts are cut and always
// terminated. A null message counts as an empty one.
void hu_FormatError(char* outText, size_t inSize, const char* inErrorCStr);
void hu_FormatErrorNum(char* outText, size_t inSize, const char* inErrorCStr, int32_t inErrorNum);
