#include <fcntl.h>
#include <juce_events/juce_events.h>
#include <ktrplatform/LenientUtf8.h>
#include <ktrplatform/SingleInstance.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

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
    int release() { return std::exchange(m_fd, -1); }

private:
    int m_fd = -1;
};

constexpr auto kStartingTime = std::chrono::milliseconds(5000);

// The app name as a file name: other characters become '_', and a name that had to change or be cut gets a
// digest of all of it, so that different names stay apart.
std::string fileBase(const juce::String& appName) {
    const std::string name = appName.toStdString();
    std::string base;
    for (const char c : name)
        base += (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_') ? c : '_';
    constexpr size_t kLongest = 48;
    if (base == name && !base.empty() && base.size() <= kLongest && base[0] != '.') return base;
    uint64_t hash = 14695981039346656037ull;
    for (const unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
    char digest[18];
    std::snprintf(digest, sizeof digest, "#%016llx", static_cast<unsigned long long>(hash));
    return "_" + base.substr(0, kLongest) + digest;
}

bool ownedAndPrivate(const struct stat& status, mode_t forbidden) {
    return S_ISDIR(status.st_mode) && status.st_uid == getuid() && (status.st_mode & forbidden) == 0;
}

// The user's runtime folder, or a private one of ours in the temporary folder: never a folder that another
// user could write to or swap.
std::string runtimeFolderFor(const juce::String& appName) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat status {};
    if (runtime != nullptr && runtime[0] == '/' && ::stat(runtime, &status) == 0 &&
        ownedAndPrivate(status, S_IWGRP | S_IWOTH))
        return runtime;
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = (tmp != nullptr && tmp[0] == '/') ? tmp : "/tmp";
    folder += "/" + fileBase(appName) + "-" + std::to_string(getuid());
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return {};
    if (::lstat(folder.c_str(), &status) != 0 || !ownedAndPrivate(status, S_IRWXG | S_IRWXO)) return {};
    return folder;
}

struct Address {
    sockaddr_un addr{};
    socklen_t length = 0;
    UniqueFd folder;  // keeps a path through /proc valid
};

// A path too long for a socket address is reached through the folder's descriptor.
bool socketAddress(const std::string& path, Address& address) {
    address.addr.sun_family = AF_UNIX;
    std::string usable = path;
    if (usable.size() >= sizeof address.addr.sun_path) {
        const size_t slash = path.rfind('/');
        address.folder = UniqueFd(::open(path.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!address.folder.valid()) return false;
        usable = "/proc/self/fd/" + std::to_string(address.folder.get()) + path.substr(slash);
        if (usable.size() >= sizeof address.addr.sun_path) return false;
    }
    std::memcpy(address.addr.sun_path, usable.c_str(), usable.size() + 1);
    address.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + usable.size() + 1);
    return true;
}

// Whether a process holds the claim on the lock file (without taking it).
bool claimHeld(const std::string& lockPath) {
    UniqueFd fd(::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.valid()) return false;
    if (::flock(fd.get(), LOCK_SH | LOCK_NB) == 0) return false;  // closing the descriptor lets it go again
    return errno == EWOULDBLOCK;
}

std::mutex& claimsLock() {
    static std::mutex lock;
    return lock;
}

// Lock paths this process holds, with their descriptors: open until the process ends.
std::map<std::string, int>& claims() {
    static std::map<std::string, int> held;
    return held;
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
        const std::string path = SingleInstance::endpointPath(appName);
        Address address;
        if (path.empty() || !socketAddress(path, address)) return;
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!fd.valid()) return;
        const auto* addr = reinterpret_cast<const sockaddr*>(&address.addr);
        if (::bind(fd.get(), addr, address.length) != 0) {
            // A socket that nobody answers on is left over from an instance that ended without cleaning up.
            UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
            if (errno != EADDRINUSE || !probe.valid() || ::connect(probe.get(), addr, address.length) == 0 ||
                errno != ECONNREFUSED || ::unlink(path.c_str()) != 0 || ::bind(fd.get(), addr, address.length) != 0)
                return;
        }
        if (::listen(fd.get(), SOMAXCONN) != 0) return;
        struct stat status {};
        if (::stat(path.c_str(), &status) == 0) m_bound = {path, status.st_ino};
        m_listen = std::move(fd);
        setListening(true);
    }

    void stop() {
        setListening(false);
        // Only our own socket: a later instance may have put its own at the path.
        struct stat status {};
        if (m_listen.valid() && !m_bound.first.empty() && ::stat(m_bound.first.c_str(), &status) == 0 &&
            status.st_ino == m_bound.second)
            ::unlink(m_bound.first.c_str());
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
    std::pair<std::string, ino_t> m_bound;  // the socket's path and the file it made there
    bool m_listening = false;               // the listening socket is registered with the event loop
    Connections m_connections;
    uint64_t m_nextSerial = 1;
};

std::string SingleInstance::runtimeFolder(const juce::String& appName) { return runtimeFolderFor(appName); }

std::string SingleInstance::endpointPath(const juce::String& appName) {
    const std::string folder = runtimeFolderFor(appName);
    return folder.empty() ? folder : folder + "/" + fileBase(appName) + ".socket";
}

SingleInstance::Claim SingleInstance::claim(const juce::String& appName) {
    const std::string folder = runtimeFolderFor(appName);
    if (folder.empty()) return Claim::unavailable;
    const std::string path = folder + "/" + fileBase(appName) + ".lock";
    std::lock_guard<std::mutex> guard(claimsLock());
    if (claims().count(path) != 0) return Claim::first;
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd.valid()) return Claim::unavailable;
    // The lock ends with the process however it ends: a killed instance leaves nothing that refuses a start.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK ? Claim::taken : Claim::unavailable;
    claims()[path] = fd.release();
    return Claim::first;
}

bool SingleInstance::handOver(const juce::String& appName, const juce::String& commandLine) {
    const auto started = Clock::now();
    const std::string path = endpointPath(appName);
    Address address;
    if (path.empty() || !socketAddress(path, address)) return false;
    const std::string lockPath = path.substr(0, path.size() - std::strlen(".socket")) + ".lock";
    UniqueFd fd;
    for (;;) {
        fd = UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!fd.valid()) return false;
        if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address.addr), address.length) == 0) break;
        const int error = errno;
        if (error == EINTR) continue;
        // A full backlog: the running instance has not got round to accepting yet. No socket, or none that
        // answers: an instance that holds the claim may still be starting.
        const bool busy = error == EAGAIN && Clock::now() < started + kHandOverTime;
        const bool starting =
            (error == ENOENT || error == ECONNREFUSED) && Clock::now() < started + kStartingTime && claimHeld(lockPath);
        if (!busy && !starting) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(busy ? 2 : 20));
    }
    if (!peerIsSameUser(fd.get())) return false;

    const auto deadline = Clock::now() + kHandOverTime;
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
