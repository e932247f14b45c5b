#include <fcntl.h>
#include <ktrplatform/DeviceRegistry.h>
#include <ktrplatform/HidrawDescriptor.h>
#include <ktrplatform/HidrawSource.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <thread>

#include "CFRuntime.h"
#include "HidrawSysfs.h"

namespace ktrplatform::hidraw {

namespace {

// The most hidraw hands over in one read or takes in one write.
constexpr size_t kMaxReportBuffer = 16384;
// A node that takes no report for this long is stuck; hidraw's own USB writes give up sooner.
constexpr std::chrono::milliseconds kWriteTimeout{5000};
constexpr const char* kRulesHint =
    "install Platform/udev/70-ktr-q7.rules into /etc/udev/rules.d, run "
    "'udevadm control --reload-rules && udevadm trigger' and replug the device";

bool meansGone(int error) {
    return error == ENODEV || error == ENXIO || error == EIO || error == EPIPE || error == ECONNRESET ||
           error == ENOTCONN || error == ESHUTDOWN;
}

IOReturn fromErrno(int error) {
    if (meansGone(error)) return kIOReturnNoDevice;
    if (error == EINVAL || error == EMSGSIZE) return kIOReturnBadArgument;
    if (error == EACCES || error == EPERM) return kIOReturnNotPermitted;
    if (error == ENOMEM || error == ENOBUFS) return kIOReturnNoMemory;
    return kIOReturnError;
}

// An open device node. It stays open while a sender may still use it, so its number
// cannot be reused under a send; after the device left, sends fail at once.
class Node {
public:
    explicit Node(int fd) : m_fd(fd) {
        struct stat st {};
        // A socket stands in for the node in tests; its peer leaving must not raise SIGPIPE.
        m_socket = ::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
    }
    ~Node() { ::close(m_fd); }
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    int fd() const { return m_fd; }
    bool isSocket() const { return m_socket; }
    void markGone() { m_gone = true; }

    // One report, in one write.
    IOReturn write(const uint8_t* bytes, size_t length) {
        const auto deadline = std::chrono::steady_clock::now() + kWriteTimeout;
        for (;;) {
            if (m_gone) return kIOReturnNoDevice;
            const ssize_t n = m_socket ? ::send(m_fd, bytes, length, MSG_NOSIGNAL) : ::write(m_fd, bytes, length);
            if (n >= 0) return static_cast<size_t>(n) == length ? kIOReturnSuccess : kIOReturnError;
            const int error = errno;
            if (error == EINTR) continue;
            if (error == EAGAIN || error == EWOULDBLOCK) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
                if (left.count() <= 0) return kIOReturnTimeout;
                pollfd p{m_fd, POLLOUT, 0};
                ::poll(&p, 1, static_cast<int>(left.count()));
                continue;
            }
            if (meansGone(error)) m_gone = true;
            return fromErrno(error);
        }
    }

private:
    const int m_fd;
    bool m_socket = false;
    std::atomic<bool> m_gone{false};
};

class Backend : public DeviceBackend {
public:
    explicit Backend(std::shared_ptr<Node> node) : m_node(std::move(node)) {}

    IOReturn setReport(IOHIDReportType type, uint32_t reportID, const uint8_t* data, size_t length) override {
        if (type != kIOHIDReportTypeOutput) return kIOReturnUnsupported;
        if (reportID > 255 || data == nullptr || length == 0 || length >= kMaxReportBuffer) return kIOReturnBadArgument;
        // hidraw takes the report number first, 0 for a device without numbered reports.
        std::vector<uint8_t> report(length + 1);
        report[0] = static_cast<uint8_t>(reportID);
        std::memcpy(report.data() + 1, data, length);
        return m_node->write(report.data(), report.size());
    }

private:
    std::shared_ptr<Node> m_node;
};

// As the virtual bus stores them: the 32 bits as a signed 32-bit number.
void setNumber(CFMutableDictionaryRef dict, const char* key, uint32_t value) {
    ktrcf::setNumber(dict, key, value, /*wrapUnsigned32=*/true);
}

void setText(CFMutableDictionaryRef dict, const char* key, const std::string& value) {
    if (!value.empty()) ktrcf::setText(dict, key, value);
}

CFDictionaryRef makeProperties(const detail::DeviceFacts& facts, const std::optional<DescriptorSummary>& summary) {
    CFMutableDictionaryRef dict = CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                                            &kCFTypeDictionaryValueCallBacks);
    if (dict == nullptr) return nullptr;
    setNumber(dict, kIOHIDVendorIDKey, facts.vendorID);
    setNumber(dict, kIOHIDProductIDKey, facts.productID);
    if (facts.versionNumber) setNumber(dict, kIOHIDVersionNumberKey, *facts.versionNumber);
    if (facts.locationID) setNumber(dict, kIOHIDLocationIDKey, *facts.locationID);
    setText(dict, kIOHIDManufacturerKey, facts.manufacturer);
    setText(dict, kIOHIDProductKey, facts.product);
    setText(dict, kIOHIDSerialNumberKey, facts.serialNumber);
    setText(dict, kIOHIDTransportKey, facts.transport);
    if (summary) {
        if (summary->hasPrimaryUsage) {
            setNumber(dict, kIOHIDPrimaryUsagePageKey, summary->primaryUsagePage);
            setNumber(dict, kIOHIDPrimaryUsageKey, summary->primaryUsage);
        }
        setNumber(dict, kIOHIDMaxInputReportSizeKey, summary->maxInputReportSize);
        setNumber(dict, kIOHIDMaxOutputReportSizeKey, summary->maxOutputReportSize);
        setNumber(dict, kIOHIDMaxFeatureReportSizeKey, summary->maxFeatureReportSize);
    }
    return dict;
}

std::vector<uint8_t> readDescriptor(int fd, const std::string& hidPath) {
    int size = 0;
    if (::ioctl(fd, HIDIOCGRDESCSIZE, &size) == 0 && size > 0 && size <= HID_MAX_DESCRIPTOR_SIZE) {
        auto descriptor = std::make_unique<hidraw_report_descriptor>();
        descriptor->size = static_cast<uint32_t>(size);
        if (::ioctl(fd, HIDIOCGRDESC, descriptor.get()) == 0)
            return std::vector<uint8_t>(descriptor->value, descriptor->value + size);
    }
    // The node may not answer (it is no hidraw node in tests); sysfs has the same bytes.
    return detail::readFile(hidPath + "/report_descriptor", HID_MAX_DESCRIPTOR_SIZE);
}

std::string printable(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return text;
}

// One line: which device, why, and for a refusal how to be let in. A desktop keeps most HID nodes (keyboards,
// mice) from its users; a refusal is only worth a line for the device the rules file is for.
void reportUnopened(const std::string& path, const detail::DeviceFacts& facts, int error) {
    const bool ktrQ7 = facts.vendorID == 0x4D2A && facts.productID >= 0x61 && facts.productID <= 0x64;
    if ((error == EACCES || error == EPERM) && !ktrQ7) return;
    char id[32];
    std::snprintf(id, sizeof id, "%04X:%04X", static_cast<unsigned>(facts.vendorID),
                  static_cast<unsigned>(facts.productID));
    const std::string product = facts.product.empty() ? "" : " " + printable(facts.product);
    const bool denied = error == EACCES || error == EPERM;
    std::fprintf(stderr, "ktr_platform: skipping %s (%s%s): %s%s%s\n", path.c_str(), id, product.c_str(),
                 std::strerror(error), denied ? "; " : "", denied ? kRulesHint : "");
}

}  // namespace

int openNode(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    return fd >= 0 ? fd : -errno;
}

class Source::Impl {
public:
    explicit Impl(SourceOptions options) : m_options(std::move(options)) {
        m_stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (m_stopFd < 0) {
            std::fprintf(stderr, "ktr_platform: cannot watch HID devices: %s\n", std::strerror(errno));
            return;
        }
        for (const std::string& name : detail::listDevices(m_options.sysfsRoot)) attach(name);
        m_thread = std::thread([this] { run(); });
    }

    ~Impl() {
        if (m_thread.joinable()) {
            const uint64_t one = 1;
            while (::write(m_stopFd, &one, sizeof one) < 0 && errno == EINTR) {
            }
            m_thread.join();
        }
        while (!m_devices.empty()) detach(m_devices.begin()->first);
        if (m_stopFd >= 0) ::close(m_stopFd);
    }

    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

private:
    struct Attached {
        std::shared_ptr<Node> node;
        IOHIDDeviceRef device;
        std::vector<uint8_t> buffer;
        bool numbered;
    };

    void attach(const std::string& name) {
        if (m_devices.count(name)) return;
        const auto facts = detail::readDeviceFacts(m_options.sysfsRoot, name);
        if (!facts) return;
        const std::string path = m_options.devRoot + "/" + name;
        const int fd = m_options.opener ? m_options.opener(path) : -ENOENT;
        if (fd < 0) {
            reportUnopened(path, *facts, -fd);
            return;
        }
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        auto node = std::make_shared<Node>(fd);

        const std::vector<uint8_t> descriptor = readDescriptor(fd, facts->hidPath);
        std::optional<DescriptorSummary> summary;
        if (!descriptor.empty()) summary = summarizeDescriptor(descriptor.data(), descriptor.size());
        CFDictionaryRef properties = makeProperties(*facts, summary);
        if (properties == nullptr) return;
        IOHIDDeviceRef device = attachDevice(properties, std::make_shared<Backend>(node));
        CFRelease(properties);

        // A report longer than the descriptor says is cut to it, as the callback's buffer would cut it.
        const size_t bufferSize = summary && summary->maxInputReportSize > 0
                                      ? std::min<size_t>(summary->maxInputReportSize, kMaxReportBuffer)
                                      : kMaxReportBuffer;
        m_devices.emplace(
            name, Attached{std::move(node), device, std::vector<uint8_t>(bufferSize), summary && summary->numbered});
    }

    void detach(const std::string& name) {
        const auto it = m_devices.find(name);
        if (it == m_devices.end()) return;
        it->second.node->markGone();
        detachDevice(it->second.device);
        m_devices.erase(it);
    }

    void service(const std::string& name, short events) {
        const auto it = m_devices.find(name);
        if (it == m_devices.end()) return;
        Attached& d = it->second;
        if (events & POLLIN) {
            const ssize_t n = ::read(d.node->fd(), d.buffer.data(), d.buffer.size());
            if (n > 0) {
                const uint32_t reportID = d.numbered ? d.buffer[0] : 0;
                deliverInputReport(d.device, kIOHIDReportTypeInput, reportID, d.buffer.data(), static_cast<size_t>(n));
            } else if (n == 0) {
                // An empty read is the end of a socket; hidraw never has an empty report to give.
                if (d.node->isSocket()) detach(name);
            } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                detach(name);
            }
            return;
        }
        if (events & (POLLHUP | POLLERR | POLLNVAL)) detach(name);
    }

    void run() {
        Monitor* monitor = m_options.monitor.get();
        bool watching = monitor != nullptr && monitor->fd() >= 0;
        std::vector<pollfd> fds;
        std::vector<std::string> names;
        for (;;) {
            fds.clear();
            names.clear();
            fds.push_back({m_stopFd, POLLIN, 0});
            fds.push_back({watching ? monitor->fd() : -1, POLLIN, 0});
            for (const auto& [name, d] : m_devices) {
                fds.push_back({d.node->fd(), POLLIN, 0});
                names.push_back(name);
            }
            if (::poll(fds.data(), fds.size(), -1) < 0) {
                if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            if (fds[0].revents != 0) return;
            // Reports first: one read in the same turn as a removal event is still delivered.
            for (size_t i = 0; i < names.size(); ++i)
                if (fds[i + 2].revents != 0) service(names[i], fds[i + 2].revents);
            if (fds[1].revents != 0) {
                std::vector<Event> events;
                if (!monitor->receive(events) || (fds[1].revents & (POLLHUP | POLLNVAL))) watching = false;
                for (const Event& event : events) {
                    if (event.action == Event::Action::Add)
                        attach(event.name);
                    else
                        detach(event.name);
                }
            }
        }
    }

    SourceOptions m_options;
    int m_stopFd = -1;
    std::map<std::string, Attached> m_devices;
    std::thread m_thread;
};

Source::Source(SourceOptions options) : m_impl(std::make_unique<Impl>(std::move(options))) {}

Source::~Source() = default;

}  // namespace ktrplatform::hidraw
