#include "HidrawSysfs.h"

#include <fcntl.h>
#include <ktrplatform/HidrawSource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

namespace ktrplatform::hidraw {

namespace fs = std::filesystem;

namespace {

constexpr size_t kAttributeLimit = 4096;
// From the hid device up past its USB interface to the USB device, with room for a bridge in between.
constexpr int kUsbSearchDepth = 4;
constexpr size_t kMaxPorts = 6;

std::optional<uint32_t> parseNumber(const std::string& text, int base, size_t maxDigits) {
    if (text.empty() || text.size() > maxDigits) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return std::nullopt;
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
        if (value > UINT32_MAX) return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

// The attribute's text: up to a NUL, without the line end sysfs adds.
std::string readText(const fs::path& path) {
    const std::vector<uint8_t> bytes = detail::readFile(path.string(), kAttributeLimit);
    std::string text(bytes.begin(), std::find(bytes.begin(), bytes.end(), uint8_t{0}));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '\t'))
        text.pop_back();
    return text;
}

std::string ueventValue(const std::string& uevent, const std::string& key) {
    size_t start = 0;
    while (start < uevent.size()) {
        size_t end = uevent.find('\n', start);
        if (end == std::string::npos) end = uevent.size();
        if (uevent.compare(start, key.size() + 1, key + "=") == 0)
            return uevent.substr(start + key.size() + 1, end - start - key.size() - 1);
        start = end + 1;
    }
    return {};
}

struct HidID {
    uint32_t bus, vendor, product;
};

// "0003:00004D2A:00000061": bus, vendor and product in hex.
std::optional<HidID> parseHidID(const std::string& text) {
    const size_t a = text.find(':');
    const size_t b = a == std::string::npos ? a : text.find(':', a + 1);
    if (b == std::string::npos) return std::nullopt;
    const auto bus = parseNumber(text.substr(0, a), 16, 8);
    const auto vendor = parseNumber(text.substr(a + 1, b - a - 1), 16, 8);
    const auto product = parseNumber(text.substr(b + 1), 16, 8);
    if (!bus || !vendor || !product) return std::nullopt;
    return HidID{*bus, *vendor, *product};
}

const char* transportName(uint32_t bus) {
    switch (bus) {
        case 0x03:
            return "USB";
        case 0x05:
            return "Bluetooth";
        case 0x06:
            return "Virtual";
        case 0x18:
            return "I2C";
        case 0x1C:
            return "SPI";
        default:
            return "";
    }
}

bool within(const fs::path& path, const fs::path& root) {
    const auto mismatch = std::mismatch(root.begin(), root.end(), path.begin(), path.end());
    return mismatch.first == root.end();
}

}  // namespace

std::optional<uint32_t> usbLocationID(unsigned long bus, const std::string& devpath) {
    if (bus < 1 || bus > 255) return std::nullopt;
    uint32_t location = static_cast<uint32_t>(bus) << 24;
    size_t ports = 0;
    size_t start = 0;
    for (;;) {
        const size_t dot = devpath.find('.', start);
        const auto port = parseNumber(devpath.substr(start, dot == std::string::npos ? dot : dot - start), 10, 2);
        if (!port || *port < 1 || *port > 15 || ports == kMaxPorts) return std::nullopt;
        location |= *port << (20 - 4 * ports);
        ++ports;
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    return location;
}

namespace detail {

bool isHidrawName(const std::string& name) {
    constexpr size_t prefix = 6;  // "hidraw"
    return name.size() > prefix && name.size() <= prefix + 9 && name.compare(0, prefix, "hidraw") == 0 &&
           std::all_of(name.begin() + prefix, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::vector<std::string> listDevices(const std::string& sysfsRoot) {
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(fs::path(sysfsRoot) / "class" / "hidraw", error), end; !error && it != end;
         it.increment(error)) {
        std::string name = it->path().filename().string();
        if (isHidrawName(name)) names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<DeviceFacts> readDeviceFacts(const std::string& sysfsRoot, const std::string& name) {
    if (!isHidrawName(name)) return std::nullopt;
    std::error_code error;
    const fs::path root = fs::canonical(sysfsRoot, error);
    if (error) return std::nullopt;
    const fs::path hid = fs::canonical(root / "class" / "hidraw" / name / "device", error);
    if (error || !within(hid, root) || hid == root) return std::nullopt;

    const std::string uevent = readText(hid / "uevent");
    const auto id = parseHidID(ueventValue(uevent, "HID_ID"));
    if (!id) return std::nullopt;

    DeviceFacts facts;
    facts.name = name;
    facts.hidPath = hid.string();
    facts.bus = id->bus;
    facts.vendorID = id->vendor;
    facts.productID = id->product;
    facts.transport = transportName(id->bus);
    facts.product = ueventValue(uevent, "HID_NAME");
    facts.serialNumber = ueventValue(uevent, "HID_UNIQ");
    if (id->bus != 0x03) return facts;

    // Only a USB hid device takes its USB device's facts: a Bluetooth one may sit under a USB adapter.
    fs::path usb = hid.parent_path();
    for (int depth = 0; depth < kUsbSearchDepth && usb != root && within(usb, root); ++depth, usb = usb.parent_path()) {
        const std::string busnum = readText(usb / "busnum");
        const std::string devpath = readText(usb / "devpath");
        if (busnum.empty() || devpath.empty()) continue;
        if (const auto bus = parseNumber(busnum, 10, 3)) facts.locationID = usbLocationID(*bus, devpath);
        facts.versionNumber = parseNumber(readText(usb / "bcdDevice"), 16, 4);
        facts.manufacturer = readText(usb / "manufacturer");
        if (std::string product = readText(usb / "product"); !product.empty()) facts.product = std::move(product);
        if (std::string serial = readText(usb / "serial"); !serial.empty()) facts.serialNumber = std::move(serial);
        break;
    }
    return facts;
}

std::vector<uint8_t> readFile(const std::string& path, size_t limit) {
    // Non-blocking, and only regular files: a FIFO or device planted in the tree cannot stall the reader.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return {};
    std::vector<uint8_t> bytes;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        bytes.resize(limit);
        size_t done = 0;
        while (done < limit) {
            const ssize_t n = ::read(fd, bytes.data() + done, limit - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        bytes.resize(done);
    }
    ::close(fd);
    return bytes;
}

}  // namespace detail
}  // namespace ktrplatform::hidraw
