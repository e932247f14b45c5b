// The update-file check on arbitrary contents, written to a file beside the fuzzer, against a plain
// restatement of the check and the bitwise CRC.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "MainComponent.h"

struct MainComponentTestAccess {
    static juce::int64 size(const MainComponent& c) { return c.m_blockSize[0]; }
    static juce::uint16 crc(const MainComponent& c) { return c.m_blockCrc[0]; }
    static juce::uint8 flag(const MainComponent& c) { return c.m_blockFlag[0]; }
};

static std::uint16_t bitwiseCrc(const std::uint8_t* data, std::size_t length) {
    std::uint32_t reg = 0;
    for (std::size_t i = 0; i <= length + 1; ++i) {
        if (i < length) reg |= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            reg <<= 1;
            if ((reg & 0x1000000u) != 0) reg ^= 0x1102100u;
        }
    }
    return static_cast<std::uint16_t>(reg >> 8);
}

static juce::String g_name;
static juce::File g_file;

static void removeFile() { g_file.deleteFile(); }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static MainComponent* component = [] {
        // One name per process, so that parallel jobs do not share a file.
        g_name = "update_file_check_fuzz_" + juce::String(static_cast<int>(getpid())) + ".bin";
        g_file = juce::File::getSpecialLocation(juce::File::currentExecutableFile).getSiblingFile(g_name);
        std::atexit(removeFile);
        return new MainComponent();
    }();

    std::FILE* f = std::fopen(g_file.getFullPathName().toRawUTF8(), "wb");
    if (f == nullptr) return 0;
    const bool written = std::fwrite(data, 1, size, f) == size;
    if (std::fclose(f) != 0 || !written) return 0;

    int version = 0;
    const int result = component->checkUPD(g_name, reinterpret_cast<unsigned char const*>("TL382 "), &version);

    const bool tagged = size >= 5 && std::memcmp(data, "TL382", 5) == 0;
    const int wantResult = tagged ? static_cast<int>(size) - 36 : 0;
    const int wantVersion = size >= 23 ? (data[20] - '0') * 100 + (data[21] - '0') * 10 + (data[22] - '0') : -1;
    if (result != wantResult || version != wantVersion) __builtin_trap();
    if (MainComponentTestAccess::size(*component) != static_cast<juce::int64>(size) ||
        MainComponentTestAccess::flag(*component) != 1 ||
        MainComponentTestAccess::crc(*component) != bitwiseCrc(data, size))
        __builtin_trap();
    return 0;
}
