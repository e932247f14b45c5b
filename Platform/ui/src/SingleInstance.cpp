#include <juce_events/juce_events.h>
#include <ktrplatform/SingleInstance.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <utility>

#include "LenientUtf8.h"

// A message is the command line in UTF-8 followed by a NUL. A connection that closes before its NUL delivers
// nothing, so a start that gave up half-way is not announced.

namespace ktrplatform {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kHandOverTime = std::chrono::milliseconds(1000);
// Connections that have not finished their message; at this many, new ones wait in the backlog.
constexpr size_t kMaxConnections = 32;
// Accepts per wake-up, so that a flood of connections cannot hold the message thread.
constexpr int kAcceptsPerWake = 64;

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    void reset() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
};

struct Address {
    sockaddr_un addr{};
    socklen_t length = 0;
};

// An abstract socket: nothing is left on disk, and the name is free again as soon as its server is gone. One
// instance per user and display: a start on another display is another desktop session, whose window the
// running one could not bring to the front anyway.
Address socketAddress(const juce::String& appName) {
    const char* display = std::getenv("DISPLAY");
    std::string name = appName.toStdString() + "-" + std::to_string(getuid()) + "-" + (display ? display : "");
    constexpr size_t room = sizeof(sockaddr_un::sun_path) - 1;  // after the leading NUL
    if (name.size() > room) {
        // A long name keeps its start and gets a digest of all of it, so that long names stay apart.
        uint64_t hash = 14695981039346656037ull;
        for (const unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
        char digest[18];
        std::snprintf(digest, sizeof digest, "#%016llx", static_cast<unsigned long long>(hash));
        name = name.substr(0, room - 17) + digest;
    }
    Address address;
    address.addr.sun_family = AF_UNIX;
    std::memcpy(address.addr.sun_path + 1, name.data(), name.size());
    address.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return address;
}

// Another user may hold the name; a command line goes only to, and is taken only from, the same user.
bool peerIsSameUser(int fd) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0 && credentials.uid == getuid();
}

bool isContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// How many of the bytes to keep for at most `limit`, not splitting a character.
size_t cutAtCharacter(const char* data, size_t size, size_t limit) {
    if (size <= limit) return size;
    size_t n = limit;
    for (int i = 0; i < 3 && n > 0 && isContinuation(static_cast<unsigned char>(data[n])); ++i) --n;
    return n;
}

}  // namespace

class SingleInstance::Server : public std::enable_shared_from_this<Server> {
public:
    explicit Server(std::function<void(const juce::String&)> onStart) : m_onStart(std::move(onStart)) {}
    ~Server() { stop(); }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    void start(const juce::String& appName) {
        // Without a message manager the event loop would never call back.
        if (juce::MessageManager::getInstanceWithoutCreating() == nullptr) return;
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!fd.valid()) return;
        const Address address = socketAddress(appName);
        if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address.addr), address.length) != 0) return;
        if (::listen(fd.get(), SOMAXCONN) != 0) return;
        m_listen = std::move(fd);
        setListening(true);
    }

    void stop() {
        setListening(false);
        m_listen.reset();
        for (const auto& entry : m_connections) juce::LinuxEventLoop::unregisterFdCallback(entry.first);
        m_connections.clear();
        m_onStart = nullptr;
    }

    bool serving() const { return m_listen.valid(); }

private:
    struct Connection {
        UniqueFd fd;
        uint64_t serial = 0;  // tells a connection from a later one that got the same descriptor
        std::string received;
    };
    using Connections = std::map<int, Connection>;

    void setListening(bool on) {
        if (on == m_listening || !m_listen.valid()) return;
        m_listening = on;
        if (!on) {
            juce::LinuxEventLoop::unregisterFdCallback(m_listen.get());
            return;
        }
        juce::LinuxEventLoop::registerFdCallback(m_listen.get(), [weak = weak_from_this()](int) {
            if (const auto self = weak.lock()) self->acceptPending();
        });
    }

    void acceptPending() {
        for (int i = 0; i < kAcceptsPerWake && m_listening; ++i) {
            UniqueFd fd(::accept4(m_listen.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
            if (!fd.valid()) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                return;  // none left, or out of descriptors: the next wake-up tries again
            }
            if (!peerIsSameUser(fd.get())) continue;
            const int raw = fd.get();
            const uint64_t serial = m_nextSerial++;
            m_connections.emplace(raw, Connection{std::move(fd), serial, {}});
            juce::LinuxEventLoop::registerFdCallback(raw, [weak = weak_from_this(), serial](int ready) {
                if (const auto self = weak.lock()) self->readFrom(ready, serial);
            });
            // A start writes its message right after connecting; usually it is complete already.
            readFrom(raw, serial);
            if (m_connections.size() >= kMaxConnections) setListening(false);
        }
    }

    void readFrom(int fd, uint64_t serial) {
        const auto it = m_connections.find(fd);
        if (it == m_connections.end() || it->second.serial != serial) return;
        std::string& received = it->second.received;
        char buffer[4096];
        for (;;) {
            // One byte past the limit tells a message that is too long.
            const size_t room = kMaxMessageBytes + 1 - received.size();
            const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, room), 0);
            if (n > 0) {
                const size_t before = received.size();
                received.append(buffer, static_cast<size_t>(n));
                const size_t end = received.find('\0', before);
                if (end != std::string::npos) {
                    received.resize(end);
                    return finish(it);
                }
                if (received.size() > kMaxMessageBytes) {
                    received.resize(cutAtCharacter(received.data(), received.size(), kMaxMessageBytes));
                    return finish(it);
                }
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            return drop(it);  // closed before the end of its message, or broken
        }
    }

    void finish(Connections::iterator it) {
        const std::string message = std::move(it->second.received);
        drop(it);
        // The callback may delete the owner, and with it this server's callback and state.
        const auto self = shared_from_this();
        const auto callback = m_onStart;
        if (callback) callback(ktrtext::fromUtf8Leniently(message.data(), message.size()));
    }

    void drop(Connections::iterator it) {
        juce::LinuxEventLoop::unregisterFdCallback(it->first);
        m_connections.erase(it);
        if (m_connections.size() < kMaxConnections) setListening(true);
    }

    std::function<void(const juce::String&)> m_onStart;
    UniqueFd m_listen;
    bool m_listening = false;  // the listening socket is registered with the event loop
    Connections m_connections;
    uint64_t m_nextSerial = 1;
};

bool SingleInstance::handOver(const juce::String& appName, const juce::String& commandLine) {
    const auto deadline = Clock::now() + kHandOverTime;
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return false;
    const Address address = socketAddress(appName);
    for (;;) {
        if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address.addr), address.length) == 0) break;
        if (errno == EISCONN) break;
        if (errno == EINTR) continue;
        // A full backlog: the running instance has not got round to accepting yet.
        if (errno == EAGAIN && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        return false;  // nobody serves the name
    }
    if (!peerIsSameUser(fd.get())) return false;

    const char* text = commandLine.toRawUTF8();
    std::string message(text, cutAtCharacter(text, std::strlen(text), kMaxMessageBytes));
    message.push_back('\0');
    size_t sent = 0;
    while (sent < message.size()) {
        const ssize_t n = ::send(fd.get(), message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return false;
            pollfd writable{fd.get(), POLLOUT, 0};
            if (::poll(&writable, 1, static_cast<int>(left)) < 0 && errno != EINTR) return false;
            continue;
        }
        return false;
    }
    return true;
}

SingleInstance::SingleInstance(const juce::String& appName, std::function<void(const juce::String&)> onAnotherStart)
    : m_server(std::make_shared<Server>(std::move(onAnotherStart))) {
    m_server->start(appName);
}

SingleInstance::~SingleInstance() { m_server->stop(); }

bool SingleInstance::isServing() const { return m_server->serving(); }

}  // namespace ktrplatform
