#include "MainComponent.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <memory>
#include <new>

namespace {

// The start request carries the file's length in three bytes.
constexpr juce::int64 kMaxUpdateFileLength = 0xFFFFFF;

// CRC-16/XMODEM, sliced eight bytes at a time: table k gives the CRC of a byte followed by k zero bytes.
struct CrcTables {
    juce::uint16 t[8][256];
};

constexpr CrcTables makeCrcTables() {
    CrcTables tables{};
    for (int i = 0; i < 256; ++i) {
        unsigned crc = static_cast<unsigned>(i) << 8;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000u) != 0 ? (crc << 1) ^ 0x1021u : crc << 1;
        tables.t[0][i] = static_cast<juce::uint16>(crc);
    }
    for (int k = 1; k < 8; ++k) {
        for (int i = 0; i < 256; ++i) {
            const unsigned previous = tables.t[k - 1][i];
            tables.t[k][i] = static_cast<juce::uint16>((previous << 8) ^ tables.t[0][previous >> 8]);
        }
    }
    return tables;
}

constexpr CrcTables kCrc = makeCrcTables();

}  // namespace

static juce::File getExecutableFile() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&getExecutableFile), &info) == 0 || info.dli_fname == nullptr ||
        info.dli_fname[0] == '\0')
        return juce::File();
    const juce::String path = juce::String::fromUTF8(info.dli_fname);
    // For the main program the loader reports the path as it was invoked, which may be relative.
    if (path.startsWithChar('/')) return juce::File(path);
    return juce::File::getCurrentWorkingDirectory().getChildFile(path);
}

static juce::File getSpecialLocation(const juce::File::SpecialLocationType type) {
    switch (type) {
        case juce::File::currentExecutableFile:
            return getExecutableFile();
        case juce::File::currentApplicationFile: {
            const juce::File executable = getExecutableFile();
            const juce::File folder = executable.getParentDirectory();
            if (folder.getFullPathName().endsWithIgnoreCase("Contents/MacOS"))
                return folder.getParentDirectory().getParentDirectory();
            return executable;
        }
        case juce::File::tempDirectory: {
            const juce::File folder("~/Library/Caches/" + getExecutableFile().getFileNameWithoutExtension());
            if (!folder.isDirectory()) folder.createDirectory();
            return folder;
        }
        default:
            return juce::File::getSpecialLocation(type);
    }
}

MainComponent::MainComponent() : m_fileVersion(-1), m_fileValid(0), m_updateFileName() {
    char name[256] = {};
    if (!GetUpFilePath("ktrq7_", ".upd", name)) GetUpFilePath("KTRQ7_", ".upd", name);
    m_updateFileName = juce::String::fromUTF8(name);

    int version = -1;
    const int result = checkUPD(m_updateFileName, reinterpret_cast<unsigned char const*>("TL382 "), &version);
    if (version < 1 || result < 1) {
        m_fileValid = 0;
        m_fileVersion = -1;
        m_fileCheck = 0;
    } else {
        m_fileValid = 1;
        m_fileVersion = version;
        m_fileCheck = result;
    }

    std::memset(m_reply, 0, sizeof m_reply);
    m_lastPercent = 0;
}

bool MainComponent::GetUpFilePath(const char* prefix, const char* extension, char* buffer) {
    const juce::File executable = getSpecialLocation(juce::File::currentExecutableFile);
    if (executable == juce::File()) return false;
    const juce::Array<juce::File> files =
        executable.getParentDirectory().findChildFiles(juce::File::findFiles, false, "*.upd");
    for (const juce::File& file : files) {
        const juce::String name = file.getFileName();
        // Where file names ignore case the pattern does too; ".UPD" must stay unlisted everywhere.
        if (!name.endsWith(".upd")) continue;
        if (CheckFileName(name.toRawUTF8(), prefix, extension)) {
            // A passing name holds at most 14 bytes.
            std::strcat(buffer, name.toRawUTF8());
            return true;
        }
    }
    return false;
}

bool MainComponent::CheckFileName(const char* name, const char* prefix, const char* extension) {
    if (name == nullptr || prefix == nullptr || extension == nullptr) return false;
    if (std::strncmp(name, prefix, std::strlen(prefix)) != 0) return false;
    const char* dot = std::strchr(name, '.');
    if (dot == nullptr || std::strncmp(dot, extension, std::strlen(extension)) != 0) return false;
    const std::size_t length = std::strlen(name);
    return length >= 12 && length <= 14;
}

int MainComponent::checkUPD(juce::String const& fileName, unsigned char const* tag, int* version) {
    if (version != nullptr) *version = -1;
    const juce::File executable = getSpecialLocation(juce::File::currentExecutableFile);
    // The empty name names the folder itself.
    if (fileName.isEmpty() || executable == juce::File()) return 0;
    const juce::File file = executable.getParentDirectory().getChildFile(fileName);

    // A folder opens but does not read, and opening a FIFO would wait for a writer forever.
    struct stat status {};
    if (stat(file.getFullPathName().toRawUTF8(), &status) != 0 || !S_ISREG(status.st_mode)) return 0;
    std::unique_ptr<juce::FileInputStream> stream = file.createInputStream();
    if (stream == nullptr) return 0;

    // Checked before allocating: a length beyond three bytes cannot be sent, and would not fit an int either.
    const juce::int64 total = stream->getTotalLength();
    if (total < 0 || total > kMaxUpdateFileLength) return 0;
    const int length = static_cast<int>(total);
    std::unique_ptr<unsigned char[]> bytes(new (std::nothrow) unsigned char[static_cast<std::size_t>(length) + 1]);
    if (bytes == nullptr) return 0;
    int done = 0;
    while (done < length) {
        const int n = stream->read(bytes.get() + done, length - done);
        if (n <= 0) break;
        done += n;
    }
    stream.reset();
    // Only bytes that were read are examined; a file that does not read whole is no update file.
    if (done != length) return 0;

    if (version != nullptr && length >= 23)
        *version = (bytes[20] - 0x30) * 100 + (bytes[21] - 0x30) * 10 + (bytes[22] - 0x30);

    m_blockFlag[0] = 1;
    m_blockSize[0] = length;
    m_blockCrc[0] = calcCRC(bytes.get(), length);

    if (tag != nullptr && length >= 5 && std::memcmp(bytes.get(), tag, 5) == 0) return length - 36;
    return 0;
}

juce::uint16 MainComponent::calcCRC(unsigned char const* data, long length) {
    unsigned crc = 0;
    if (data == nullptr || length <= 0) return 0;
    const unsigned char* p = data;
    std::size_t left = static_cast<std::size_t>(length);
    for (; left >= 8; left -= 8, p += 8) {
        crc = static_cast<unsigned>(kCrc.t[7][(crc >> 8) ^ p[0]] ^ kCrc.t[6][(crc & 0xFFu) ^ p[1]] ^ kCrc.t[5][p[2]] ^
                                    kCrc.t[4][p[3]] ^ kCrc.t[3][p[4]] ^ kCrc.t[2][p[5]] ^ kCrc.t[1][p[6]] ^
                                    kCrc.t[0][p[7]]);
    }
    for (; left > 0; --left, ++p) crc = ((crc << 8) ^ kCrc.t[0][(crc >> 8) ^ *p]) & 0xFFFFu;
    return static_cast<juce::uint16>(crc);
}

juce::uint8 MainComponent::ConvertAsciiToHex(unsigned char c) {
    if (c >= '0' && c <= '9') return static_cast<juce::uint8>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<juce::uint8>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<juce::uint8>(c - 'A' + 10);
    return 0;
}
