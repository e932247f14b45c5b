// The resource parser on arbitrary bytes, without the NUL that follows the built-in resources,
// for every section it can be asked for.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "TxtLoader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 20) return 0;
    const std::vector<char> bytes(data, data + size);
    const char* pointer = bytes.data();
    const int length = static_cast<int>(size);
    juce::String out[TxtLoader::kStringCount];
    for (FlgTable table : {FLG_NONE, FLG_FONT_MAC, FLG_LANG, FLG_STR})
        TxtLoader::Load(&pointer, &length, table, out, static_cast<int>(TxtLoader::kStringCount));
    return 0;
}
