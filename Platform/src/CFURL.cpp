#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "CFRuntime.h"
#include "FileURL.h"

namespace {

// Larger files are refused rather than read whole into memory.
constexpr off_t kMaxResourceSize = 256 * 1024 * 1024;

// Repeated and trailing slashes go, so that equal paths compare equal.
std::string normalised(const std::string& path) {
    std::string out;
    out.reserve(path.size());
    for (char c : path)
        if (c != '/' || out.empty() || out.back() != '/') out += c;
    if (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

std::string percentEncoded(const std::string& path) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if (std::isalnum(c) || std::strchr("/-._~!$&'()*+,;=:@", c) != nullptr) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kDigits[c >> 4];
            out += kDigits[c & 0xF];
        }
    }
    return out;
}

}  // namespace

struct __CFURL : ktrcf::Object {
    static constexpr CFTypeID kTypeID = ktrcf::kTypeIDURL;
    __CFURL(std::string p, bool directory)
        : ktrcf::Object(kTypeID),
          path(std::move(p)),
          isDirectory(directory),
          string(ktrcf::makeString("file://" + percentEncoded(path) + (directory && path != "/" ? "/" : ""))) {}
    ~__CFURL() override { CFRelease(string); }
    bool equals(const ktrcf::Object& other) const override {
        const auto& o = static_cast<const __CFURL&>(other);
        return path == o.path && isDirectory == o.isDirectory;
    }
    CFHashCode hash() const override { return CFHash(string); }
    std::string description() const override { return ktrcf::stdString(string); }

    const std::string path;
    const bool isDirectory;
    const CFStringRef string;
};

namespace ktrcf {

CFURLRef makeFileURL(const std::string& path, bool isDirectory) {
    if (path.empty() || path[0] != '/' || path.find('\0') != std::string::npos) return nullptr;
    return new __CFURL(normalised(path), isDirectory);
}

std::string urlPath(CFURLRef url) {
    const __CFURL* u = cast<__CFURL>(url);
    return u ? u->path : std::string();
}

}  // namespace ktrcf

CFTypeID CFURLGetTypeID(void) { return ktrcf::kTypeIDURL; }

CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef, CFStringRef filePath, CFURLPathStyle pathStyle,
                                       Boolean isDirectory) {
    if (pathStyle != kCFURLPOSIXPathStyle || !ktrcf::isa(filePath, ktrcf::kTypeIDString)) return nullptr;
    return ktrcf::makeFileURL(ktrcf::stdString(filePath), isDirectory);
}

CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef, const UInt8* buffer, CFIndex bufLen,
                                                 Boolean isDirectory) {
    if (buffer == nullptr || bufLen <= 0) return nullptr;
    return ktrcf::makeFileURL(std::string(reinterpret_cast<const char*>(buffer), static_cast<size_t>(bufLen)),
                              isDirectory);
}

Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean, UInt8* buffer, CFIndex maxBufLen) {
    const __CFURL* u = ktrcf::cast<__CFURL>(url);
    if (!u || buffer == nullptr || maxBufLen <= 0 || u->path.size() >= static_cast<size_t>(maxBufLen)) return false;
    std::memcpy(buffer, u->path.c_str(), u->path.size() + 1);
    return true;
}

CFStringRef CFURLCopyFileSystemPath(CFURLRef anURL, CFURLPathStyle pathStyle) {
    const __CFURL* u = ktrcf::cast<__CFURL>(anURL);
    if (!u || pathStyle != kCFURLPOSIXPathStyle) return nullptr;
    return ktrcf::makeString(u->path);
}

CFStringRef CFURLCopyLastPathComponent(CFURLRef url) {
    const __CFURL* u = ktrcf::cast<__CFURL>(url);
    if (!u) return nullptr;
    if (u->path == "/") return ktrcf::makeString("/");
    return ktrcf::makeString(u->path.substr(u->path.rfind('/') + 1));
}

CFStringRef CFURLGetString(CFURLRef anURL) {
    const __CFURL* u = ktrcf::cast<__CFURL>(anURL);
    return u ? u->string : nullptr;
}

Boolean CFURLCreateDataAndPropertiesFromResource(CFAllocatorRef, CFURLRef url, CFDataRef* resourceData,
                                                 CFDictionaryRef* properties, CFArrayRef, SInt32* errorCode) {
    if (resourceData) *resourceData = nullptr;
    if (properties) *properties = nullptr;
    auto finish = [errorCode](SInt32 code) -> Boolean {
        if (errorCode) *errorCode = code;
        return code == 0;
    };
    const __CFURL* u = ktrcf::cast<__CFURL>(url);
    if (!u) return finish(kCFURLImproperArgumentsError);

    // Non-blocking, so that a FIFO in the resource's place cannot stall the open.
    const int fd = open(u->path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return finish(errno == ENOENT || errno == ENOTDIR ? kCFURLResourceNotFoundError
                      : errno == EACCES || errno == EPERM ? kCFURLResourceAccessViolationError
                                                          : kCFURLUnknownError);
    struct FdCloser {
        int fd;
        ~FdCloser() { close(fd); }
    } closer{fd};
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kMaxResourceSize)
        return finish(kCFURLUnknownError);
    if (!resourceData) return finish(0);

    // Read to the end rather than trusting the size: the file may change meanwhile.
    std::vector<UInt8> bytes;
    bytes.reserve(static_cast<size_t>(info.st_size));
    UInt8 chunk[65536];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return finish(kCFURLUnknownError);
        if (n == 0) break;
        if (bytes.size() + static_cast<size_t>(n) > static_cast<size_t>(kMaxResourceSize))
            return finish(kCFURLUnknownError);
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    *resourceData = CFDataCreate(kCFAllocatorDefault, bytes.data(), static_cast<CFIndex>(bytes.size()));
    return finish(0);
}
