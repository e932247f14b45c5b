// Stand-ins for what the hidraw source meets on a machine: a sysfs tree in a temporary
// folder, device nodes that are SOCK_SEQPACKET socket pairs (one message per report,
// as hidraw keeps them) and a monitor whose hot-plug events the test sends.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <ktrplatform/HidrawSource.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace hidrawtest {

namespace fs = std::filesystem;
namespace hr = ktrplatform::hidraw;
using Bytes = std::vector<uint8_t>;

// A vendor-defined application collection with one unnumbered input and one output report.
inline Bytes ktrDescriptor(uint16_t inputSize = 1024, uint16_t outputSize = 1024) {
    const auto lo = [](uint16_t v) { return static_cast<uint8_t>(v); };
    const auto hi = [](uint16_t v) { return static_cast<uint8_t>(v >> 8); };
    // clang-format off
    return {0x06, 0x00, 0xFF,  0x09, 0x01,  0xA1, 0x01,             // page 0xFF00, usage 1, application
            0x15, 0x00,  0x26, 0xFF, 0x00,  0x75, 0x08,             // 0-255, 8 bits
            0x96, lo(inputSize), hi(inputSize),  0x09, 0x01,  0x81, 0x02,
            0x96, lo(outputSize), hi(outputSize),  0x09, 0x01,  0x91, 0x02,  0xC0};
    // clang-format on
}

inline void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    EXPECT_TRUE(out.good()) << path;
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
        const bool usb = !d.usbName.empty();
        const fs::path parent =
            usb ? m_root / "devices" / "pci0000:00" / d.usbName : m_root / "devices" / "virtual" / "misc";
        for (const auto& [name, value] : d.usbAttributes)
            if (usb) writeFile(parent / name, value);
        const fs::path hid =
            (usb ? parent / (d.usbName + ":1.0") : parent) / ("0003:4D2A:0061." + std::to_string(++m_count));
        writeFile(hid / "uevent", d.uevent);
        if (d.descriptor) writeFile(hid / "report_descriptor", std::string(d.descriptor->begin(), d.descriptor->end()));
        const fs::path node = hid / "hidraw" / d.name;
        fs::create_directories(node);
        fs::create_directory_symlink("../..", node / "device");
        fs::create_directory_symlink(fs::relative(node, m_root / "class" / "hidraw"),
                                     m_root / "class" / "hidraw" / d.name);
        return hid;
    }

private:
    fs::path m_root;
    int m_count = 0;
};

// Device nodes: each is a socket pair whose other end the test holds, as the device would.
class FakeNodes {
public:
    static constexpr const char* kDevRoot = "/fake-dev";

    FakeNodes() = default;
    ~FakeNodes() {
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
    void adopt(const std::string& name, int fd) { set(name, {fd, 0}); }
    void deny(const std::string& name, int error) { set(name, {-1, error}); }
    // Closes the device's end now: the device has gone.
    void unplug(int deviceEnd) {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        auto& ends = m_state->deviceEnds;
        const auto it = std::find(ends.begin(), ends.end(), deviceEnd);
        if (it == ends.end()) return;
        ::close(deviceEnd);
        ends.erase(it);
    }

    hr::NodeOpener opener() const {
        return [state = m_state](const std::string& path) -> int {
            const std::string prefix = std::string(kDevRoot) + "/";
            std::lock_guard<std::mutex> lock(state->mutex);
            const auto it = path.compare(0, prefix.size(), prefix) == 0 ? state->nodes.find(path.substr(prefix.size()))
                                                                        : state->nodes.end();
            if (it == state->nodes.end()) return -ENOENT;
            if (it->second.error != 0) return -it->second.error;
            // One open per node, as a replug makes a new one.
            return it->second.sourceEnd < 0 ? -ENOENT : std::exchange(it->second.sourceEnd, -1);
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
    void set(const std::string& name, Node node) {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->nodes[name] = node;
    }
    std::shared_ptr<State> m_state = std::make_shared<State>();
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

// Hot-plug events that the test writes into a socket pair, one line each: "+name" or "-name". The
// source's monitor reads them; closing the test's end ends it.
class FakeMonitor : public hr::Monitor {
public:
    explicit FakeMonitor(int fd) : m_fd(fd) {}
    ~FakeMonitor() override { ::close(m_fd); }
    int fd() const override { return m_fd; }
    bool receive(std::vector<hr::Event>& events) override {
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(m_fd, buffer, sizeof buffer)) > 0) m_pending.append(buffer, static_cast<size_t>(n));
        for (size_t end; (end = m_pending.find('\n')) != std::string::npos; m_pending.erase(0, end + 1))
            events.push_back({m_pending[0] == '+' ? hr::Event::Action::Add : hr::Event::Action::Remove,
                              m_pending.substr(1, end - 1)});
        return n != 0;
    }

private:
    const int m_fd;
    std::string m_pending;
};

class MonitorFeed {
public:
    MonitorFeed() {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_fds) != 0 || ::fcntl(m_fds[0], F_SETFL, O_NONBLOCK))
            ADD_FAILURE() << "socketpair";
    }
    ~MonitorFeed() {
        end();
        if (m_fds[0] >= 0) ::close(m_fds[0]);
    }
    MonitorFeed(const MonitorFeed&) = delete;
    MonitorFeed& operator=(const MonitorFeed&) = delete;

    void add(const std::string& name) { write("+" + name + "\n"); }
    void remove(const std::string& name) { write("-" + name + "\n"); }
    void end() {
        if (m_fds[1] >= 0) ::close(std::exchange(m_fds[1], -1));
    }
    // The monitor for the source, which takes over the reading end.
    std::unique_ptr<hr::Monitor> monitor() { return std::make_unique<FakeMonitor>(std::exchange(m_fds[0], -1)); }

private:
    void write(const std::string& line) {
        if (m_fds[1] >= 0 && !sendMessage(m_fds[1], Bytes(line.begin(), line.end()))) ADD_FAILURE() << "monitor";
    }
    int m_fds[2] = {-1, -1};
};

// A machine of fake devices and the source over them.
struct FakeMachine {
    FakeSysfs sysfs;
    FakeNodes nodes;
    std::unique_ptr<MonitorFeed> feed = std::make_unique<MonitorFeed>();
    std::unique_ptr<hr::Source> source;

    void start() {
        hr::SourceOptions options;
        options.sysfsRoot = sysfs.root();
        options.devRoot = FakeNodes::kDevRoot;
        options.opener = nodes.opener();
        options.monitor = feed->monitor();
        source = std::make_unique<hr::Source>(std::move(options));
    }
};

}  // namespace hidrawtest
