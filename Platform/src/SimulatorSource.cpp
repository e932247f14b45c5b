#include "SimulatorSource.h"

#include <ktrplatform/DeviceRegistry.h>
#include <ktrplatform/SimWire.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "CFRuntime.h"

namespace ktrplatform::detail {

namespace {

namespace sw = simwire;
using namespace std::chrono_literals;

// Either side may start first: the other is looked for this often.
constexpr auto kRetryInterval = 100ms;
// The simulator acknowledges at once; a longer silence means it is stuck.
constexpr auto kAckTimeout = 3s;
constexpr timeval kSendTimeout{2, 0};

// One connection to the simulator. Reports go out from the senders' threads;
// the acknowledgements come back on the source's thread.
class Link {
public:
    explicit Link(int fd) : m_fd(fd) {}
    ~Link() { close(); }

    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    IOReturn setReport(IOHIDReportType type, uint32_t reportID, const uint8_t* data, size_t length) {
        if (length > sw::kMaxReportSize) return kIOReturnBadArgument;
        uint32_t sequence;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_gone) return kIOReturnNoDevice;
            sequence = ++m_sequence;
            m_pending.emplace(sequence, std::nullopt);
        }
        const bool sent = send(sw::encodeFrame(
            sw::Type::SetReport,
            sw::encodeSetReport(sequence, static_cast<uint8_t>(type), static_cast<uint8_t>(reportID), data, length)));
        std::unique_lock<std::mutex> lock(m_mutex);
        const auto entry = m_pending.find(sequence);
        if (sent) m_acked.wait_for(lock, kAckTimeout, [&] { return m_gone || entry->second.has_value(); });
        const std::optional<IOReturn> result = entry->second;
        m_pending.erase(entry);
        if (result) return *result;
        return sent && !m_gone ? kIOReturnTimeout : kIOReturnNoDevice;
    }

    void acknowledge(uint32_t sequence, IOReturn result) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            // One that gave up waiting has left; its late answer goes nowhere.
            const auto entry = m_pending.find(sequence);
            if (entry == m_pending.end()) return;
            entry->second = result;
        }
        m_acked.notify_all();
    }

    // Reports only go out through here, so a failed send can end the connection for the reader too.
    bool send(const std::vector<uint8_t>& frame) {
        std::lock_guard<std::mutex> lock(m_sendMutex);
        if (m_fd < 0 || frame.empty()) return false;
        size_t done = 0;
        while (done < frame.size()) {
            const ssize_t n = ::send(m_fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                ::shutdown(m_fd, SHUT_RDWR);
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return true;
    }

    // From the source's thread once it stops reading: waiting senders give up, later ones fail at once.
    void close() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_gone = true;
        }
        m_acked.notify_all();
        std::lock_guard<std::mutex> lock(m_sendMutex);
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }

private:
    std::mutex m_sendMutex;
    int m_fd;
    std::mutex m_mutex;
    std::condition_variable m_acked;
    std::map<uint32_t, std::optional<IOReturn>> m_pending;
    uint32_t m_sequence = 0;
    bool m_gone = false;
};

class LinkBackend : public DeviceBackend {
public:
    explicit LinkBackend(std::shared_ptr<Link> link) : m_link(std::move(link)) {}
    IOReturn setReport(IOHIDReportType type, uint32_t reportID, const uint8_t* data, size_t length) override {
        return m_link->setReport(type, reportID, data, length);
    }

private:
    std::shared_ptr<Link> m_link;
};

CFDictionaryRef makeProperties(const std::vector<sw::Property>& properties) {
    CFMutableDictionaryRef dict = CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                                            &kCFTypeDictionaryValueCallBacks);
    for (const sw::Property& p : properties) {
        CFTypeRef value;
        if (const auto* n = std::get_if<int64_t>(&p.value)) {
            // As the virtual bus stores them: what fits 32 bits as a signed 32-bit number.
            if (*n >= INT32_MIN && *n <= static_cast<int64_t>(UINT32_MAX)) {
                const int32_t v32 = static_cast<int32_t>(static_cast<uint32_t>(*n));
                value = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &v32);
            } else {
                value = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, n);
            }
        } else {
            value = ktrcf::makeString(std::get<std::string>(p.value));
        }
        CFStringRef key = ktrcf::makeString(p.key);
        CFDictionarySetValue(dict, key, value);
        CFRelease(key);
        CFRelease(value);
    }
    return dict;
}

// What the simulator's messages do to the device it represents.
class Session {
public:
    explicit Session(std::shared_ptr<Link> link) : m_link(std::move(link)) {}
    ~Session() { leave(); }

    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // False when the message breaks the protocol: the connection is then ended.
    bool handle(const sw::Frame& frame) {
        switch (frame.type) {
            case sw::Type::Arrived: {
                const auto properties = sw::parseProperties(frame.payload);
                if (!properties) return false;
                leave();
                CFDictionaryRef dict = makeProperties(*properties);
                m_device = attachDevice(dict, std::make_shared<LinkBackend>(m_link));
                CFRelease(dict);
                return true;
            }
            case sw::Type::Left:
                if (!frame.payload.empty()) return false;
                leave();
                return true;
            case sw::Type::Input: {
                const auto report = sw::parseInput(frame.payload);
                if (!report || report->reportType >= kIOHIDReportTypeCount) return false;
                if (m_device)
                    deliverInputReport(m_device, static_cast<IOHIDReportType>(report->reportType), report->reportID,
                                       report->bytes.data(), report->bytes.size());
                return true;
            }
            case sw::Type::Ack: {
                const auto ack = sw::parseAck(frame.payload);
                if (!ack) return false;
                m_link->acknowledge(ack->sequence, ack->result);
                return true;
            }
            case sw::Type::SetReport:
                break;
        }
        return false;
    }

    void leave() {
        if (m_device) detachDevice(m_device);
        m_device = nullptr;
    }

private:
    std::shared_ptr<Link> m_link;
    IOHIDDeviceRef m_device = nullptr;
};

void serve(int fd, const std::string& path) {
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &kSendTimeout, sizeof kSendTimeout);
    auto link = std::make_shared<Link>(fd);
    Session session(link);
    sw::FrameDecoder decoder;
    uint8_t buffer[16 * 1024];
    for (bool ok = true; ok;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        const uint8_t* p = buffer;
        size_t left = static_cast<size_t>(n);
        while (ok && left > 0) {
            const size_t used = decoder.feed(p, left);
            p += used;
            left -= used;
            if (decoder.state() == sw::FrameDecoder::State::Complete)
                ok = session.handle(decoder.take());
            else if (decoder.state() == sw::FrameDecoder::State::Malformed)
                ok = false;
        }
        if (!ok) std::fprintf(stderr, "ktr_platform: bad message from the simulator at %s\n", path.c_str());
    }
    // Senders waiting for an answer are let go before the device leaves.
    link->close();
    session.leave();
}

int connectTo(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

void startSimulatorSource() {
    static std::once_flag once;
    std::call_once(once, [] {
        const char* env = std::getenv("KTRQ7_SIM_SOCKET");
        if (env == nullptr || *env == '\0') return;
        const std::string path = env;
        if (path.size() >= sizeof(sockaddr_un::sun_path)) {
            std::fprintf(stderr, "ktr_platform: KTRQ7_SIM_SOCKET is too long for a socket path\n");
            return;
        }
        // Lives as long as the process, like the registry it feeds.
        std::thread([path] {
            for (;;) {
                const int fd = connectTo(path);
                if (fd >= 0) serve(fd, path);
                std::this_thread::sleep_for(kRetryInterval);
            }
        }).detach();
    });
}

}  // namespace ktrplatform::detail
