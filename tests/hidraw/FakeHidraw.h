// Stand-ins for what the hidraw source meets on a machine: a sysfs tree in a temporary
// folder, device nodes that are SOCK_SEQPACKET socket pairs (one message per report,
// as hidraw keeps them) and a monitor whose hot-plug events the test sends.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <ktrplatform/HidrawSource.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace hidrawtest {

namespace fs = std::filesystem;
namespace hr = ktrplatform::hidraw;
using Bytes = std::vector<uint8_t>;

// A vendor-defined application collection with one unnumbered input and one output report.
inline Bytes ktrDescriptor(uint16_t inputSize = 1024, uint16_t outputSize = 1024) {
    return {0x06,
            0x00,
            0xFF,  // usage page 0xFF00
            0x09,
            0x01,  // usage 1
            0xA1,
            0x01,  // application collection
            0x15,
            0x00,
            0x26,
            0xFF,
            0x00,
            0x75,
            0x08,  // 0-255, 8 bits
            0x96,
            static_cast<uint8_t>(inputSize),
            static_cast<uint8_t>(inputSize >> 8),
            0x09,
            0x01,
            0x81,
            0x02,
            0x96,
            static_cast<uint8_t>(outputSize),
            static_cast<uint8_t>(outputSize >> 8),
            0x09,
            0x01,
            0x91,
            0x02,
            0xC0};
}

inline void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    EXPECT_TRUE(out.good()) << path;
}

inline void writeFile(const fs::path& path, const Bytes& bytes) {
    writeFile(path, std::string(bytes.begin(), bytes.end()));
}

struct FakeDevice {
    std::string name = "hidraw0";
    std::string uevent = "HID_ID=0003:00004D2A:00000061\nHID_NAME=KTR KTR-Q7\nHID_UNIQ=Q7-0001\n";
    std::optional<Bytes> descriptor = ktrDescriptor();
    // The USB device the hid device hangs under (its interface in between); none without a name.
    std::string usbName = "20-2";
    std::map<std::string, std::string> usbAttributes = {{"busnum", "20\n"},      {"devpath", "2\n"},
                                                        {"bcdDevice", "0105\n"}, {"manufacturer", "KTR\n"},
                                                        {"product", "KTR-Q7\n"}, {"serial", "Q7-0001\n"}};

    // The same device on another USB port.
    FakeDevice at(const std::string& newName, int bus, const std::string& devpath) const {
        FakeDevice d = *this;
        d.name = newName;
        d.usbName = std::to_string(bus) + "-" + devpath;
        d.usbAttributes["busnum"] = std::to_string(bus) + "\n";
        d.usbAttributes["devpath"] = devpath + "\n";
        return d;
    }
};

// A sysfs tree laid out as the kernel does, with only what the source reads.
class FakeSysfs {
public:
    FakeSysfs() {
        std::string pattern = (fs::temp_directory_path() / "ktr-sysfs-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
        m_root = pattern;
        fs::create_directories(m_root / "class" / "hidraw");
    }
    ~FakeSysfs() {
        std::error_code ignored;
        fs::remove_all(m_root, ignored);
    }
    FakeSysfs(const FakeSysfs&) = delete;
    FakeSysfs& operator=(const FakeSysfs&) = delete;

    std::string root() const { return m_root.string(); }

    // Returns the hid device's folder.
    fs::path add(const FakeDevice& d) {
        const fs::path parent =
            d.usbName.empty() ? m_root / "devices" / "virtual" / "misc" : m_root / "devices" / "pci0000:00" / d.usbName;
        for (const auto& [name, value] : d.usbAttributes)
            if (!d.usbName.empty()) writeFile(parent / name, value);
        const fs::path interface = d.usbName.empty() ? parent : parent / (d.usbName + ":1.0");
        const fs::path hid = interface / ("0003:4D2A:0061." + std::to_string(++m_count));
        writeFile(hid / "uevent", d.uevent);
        if (d.descriptor) writeFile(hid / "report_descriptor", *d.descriptor);
        const fs::path node = hid / "hidraw" / d.name;
        fs::create_directories(node);
        fs::create_directory_symlink("../..", node / "device");
        fs::create_directory_symlink(fs::relative(node, m_root / "class" / "hidraw"),
                                     m_root / "class" / "hidraw" / d.name);
        return hid;
    }

    void remove(const std::string& name) { fs::remove(m_root / "class" / "hidraw" / name); }

private:
    fs::path m_root;
    int m_count = 0;
};

// Device nodes: each is a socket pair whose other end the test holds, as the device would.
class FakeNodes {
public:
    static constexpr const char* kDevRoot = "/fake-dev";

    FakeNodes() : m_state(std::make_shared<State>()) {}
    ~FakeNodes() {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        for (auto& [name, node] : m_state->nodes)
            if (node.sourceEnd >= 0) ::close(node.sourceEnd);
        for (int fd : m_state->deviceEnds) ::close(fd);
    }
    FakeNodes(const FakeNodes&) = delete;
    FakeNodes& operator=(const FakeNodes&) = delete;

    // The device's end of a new node for the device `name` (kept open until the test ends).
    int make(const std::string& name) {
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) ADD_FAILURE() << "socketpair";
        adopt(name, pair[0]);
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->deviceEnds.push_back(pair[1]);
        return pair[1];
    }
    // The node the source gets is this descriptor (taken over by the source).
    void adopt(const std::string& name, int fd) {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->nodes[name] = Node{fd, 0};
    }
    void deny(const std::string& name, int error) {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->nodes[name] = Node{-1, error};
    }
    // Closes the device's end now: the device has gone.
    void unplug(int deviceEnd) {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        auto& ends = m_state->deviceEnds;
        for (auto it = ends.begin(); it != ends.end(); ++it) {
            if (*it != deviceEnd) continue;
            ::close(deviceEnd);
            ends.erase(it);
            return;
        }
    }

    hr::NodeOpener opener() const {
        return [state = m_state](const std::string& path) -> int {
            const std::string prefix = std::string(kDevRoot) + "/";
            std::lock_guard<std::mutex> lock(state->mutex);
            if (path.compare(0, prefix.size(), prefix) != 0) return -ENOENT;
            const auto it = state->nodes.find(path.substr(prefix.size()));
            if (it == state->nodes.end()) return -ENOENT;
            if (it->second.error != 0) return -it->second.error;
            const int fd = it->second.sourceEnd;
            if (fd < 0) return -ENOENT;  // one open per node, as a replug makes a new one
            it->second.sourceEnd = -1;
            return fd;
        };
    }

private:
    struct Node {
        int sourceEnd = -1;
        int error = 0;
    };
    struct State {
        std::mutex mutex;
        std::map<std::string, Node> nodes;
        std::vector<int> deviceEnds;
    };
    std::shared_ptr<State> m_state;
};

// Hot-plug events the test sends.
class MonitorFeed {
public:
    MonitorFeed() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~MonitorFeed() { ::close(m_fd); }
    MonitorFeed(const MonitorFeed&) = delete;
    MonitorFeed& operator=(const MonitorFeed&) = delete;

    void add(const std::string& name) { push({hr::Event::Action::Add, name}); }
    void remove(const std::string& name) { push({hr::Event::Action::Remove, name}); }
    void end() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_ended = true;
        }
        signal();
    }

    int fd() const { return m_fd; }
    bool take(std::vector<hr::Event>& events) {
        uint64_t count;
        while (::read(m_fd, &count, sizeof count) > 0) {
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        events.insert(events.end(), m_events.begin(), m_events.end());
        m_events.clear();
        return !m_ended;
    }

private:
    void push(hr::Event event) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_events.push_back(std::move(event));
        }
        signal();
    }
    void signal() {
        const uint64_t one = 1;
        if (::write(m_fd, &one, sizeof one) != sizeof one) ADD_FAILURE() << "eventfd";
    }

    const int m_fd;
    std::mutex m_mutex;
    std::deque<hr::Event> m_events;
    bool m_ended = false;
};

class FakeMonitor : public hr::Monitor {
public:
    explicit FakeMonitor(std::shared_ptr<MonitorFeed> feed) : m_feed(std::move(feed)) {}
    int fd() const override { return m_feed->fd(); }
    bool receive(std::vector<hr::Event>& events) override { return m_feed->take(events); }

private:
    std::shared_ptr<MonitorFeed> m_feed;
};

// One message from the device's end, or nothing within the time.
inline std::optional<Bytes> receiveMessage(int fd, int timeoutMs = 5000) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
    Bytes buffer(20000);
    const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (n < 0) return std::nullopt;
    buffer.resize(static_cast<size_t>(n));
    return buffer;
}

inline bool sendMessage(int fd, const Bytes& bytes) {
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

}  // namespace hidrawtest
