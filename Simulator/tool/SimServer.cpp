#include "SimServer.h"

#include <IOKit/IOReturn.h>
#include <IOKit/hid/IOHIDKeys.h>
#include <fcntl.h>
#include <ktrsim/FaultText.h>
#include <ktrsim/SimulatedKtrQ7.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>

namespace ktrsimtool {

namespace sw = ktrplatform::simwire;
using ktrsim::Action;

namespace {

// Written by the signal handler and by the runner thread when the session is over.
int gWakeRead = -1;
int gWakeWrite = -1;

// Every reply the options allow fits one frame.
static_assert(ktrsim::kMaxFaultReplySize <= sw::kMaxReportSize, "replies must fit a frame");

// A platform that stops reading must not stall the simulator for ever.
constexpr int kSendTimeoutMs = 2000;

std::string hex2(uint8_t v) {
    static const char* digits = "0123456789abcdef";
    return {digits[v >> 4], digits[v & 15]};
}

sockaddr_un socketAddress(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

std::vector<sw::Property> wireProperties(const ktrplatform::VirtualDeviceInfo& info) {
    std::vector<sw::Property> p = {
        {kIOHIDVendorIDKey, info.vendorID},
        {kIOHIDProductIDKey, info.productID},
        {kIOHIDVersionNumberKey, info.versionNumber},
        {kIOHIDPrimaryUsagePageKey, info.primaryUsagePage},
        {kIOHIDPrimaryUsageKey, info.primaryUsage},
        {kIOHIDMaxInputReportSizeKey, info.maxInputReportSize},
        {kIOHIDMaxOutputReportSizeKey, info.maxOutputReportSize},
        {kIOHIDManufacturerKey, info.manufacturer},
        {kIOHIDProductKey, info.product},
        {kIOHIDTransportKey, info.transport},
    };
    if (info.locationID) p.push_back({kIOHIDLocationIDKey, *info.locationID});
    return p;
}

}  // namespace

void Fd::reset(int fd) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
}

SimServer::SimServer(const ToolOptions& options) : m_options(options), m_model(options.model) {
    for (const ktrsim::Fault& fault : options.faults) m_model.addFault(fault);
}

SimServer::~SimServer() {
    // The runner's actions use everything else, so it goes first.
    if (m_runner) m_runner->stop();
    if (m_bound) ::unlink(m_options.socketPath.c_str());
}

void SimServer::requestQuit() {
    if (gWakeWrite < 0) return;
    const char byte = 'q';
    // Nothing to do about a full pipe: it already holds a wake-up.
    [[maybe_unused]] const ssize_t n = ::write(gWakeWrite, &byte, 1);
}

void SimServer::say(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_sayMutex);
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

bool SimServer::setUp() {
    if (gWakeRead < 0) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
            std::cerr << "ktrq7-sim: pipe: " << std::strerror(errno) << '\n';
            return false;
        }
        gWakeRead = fds[0];
        gWakeWrite = fds[1];
    }
    // Only now: a signal before the pipe existed would have been lost.
    struct sigaction quit {};
    quit.sa_handler = [](int) { requestQuit(); };
    sigemptyset(&quit.sa_mask);
    ::sigaction(SIGTERM, &quit, nullptr);
    ::sigaction(SIGINT, &quit, nullptr);
    // A platform or a reader of standard output that went away is not a reason to die.
    ::signal(SIGPIPE, SIG_IGN);

    if (!m_options.reportsPath.empty()) {
        m_reports.reset(std::fopen(m_options.reportsPath.c_str(), "wb"));
        if (!m_reports) {
            std::cerr << "ktrq7-sim: cannot write " << m_options.reportsPath << ": " << std::strerror(errno) << '\n';
            return false;
        }
    }

    const std::string& path = m_options.socketPath;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            std::cerr << "ktrq7-sim: " << path << " exists and is not a socket\n";
            return false;
        }
        // A socket nobody answers on is left over from a simulator that died; one that answers is in use.
        Fd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_un address = socketAddress(path);
        if (probe && ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            std::cerr << "ktrq7-sim: another simulator is serving " << path << '\n';
            return false;
        }
        ::unlink(path.c_str());
    }

    m_listen.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_un address = socketAddress(path);
    if (!m_listen || ::bind(m_listen.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        std::cerr << "ktrq7-sim: cannot bind " << path << ": " << std::strerror(errno) << '\n';
        return false;
    }
    m_bound = true;
    if (::listen(m_listen.get(), 4) != 0) {
        std::cerr << "ktrq7-sim: cannot listen on " << path << ": " << std::strerror(errno) << '\n';
        return false;
    }
    return true;
}

int SimServer::run() {
    if (!setUp()) return 2;
    m_runner = std::make_unique<ktrsim::ActionRunner>([this](const Action& action) { execute(action); });
    say("listening " + m_options.socketPath);
    if (m_options.plugged) {
        std::lock_guard<std::mutex> lock(m_mutex);
        setPresentLocked(true);
    }
    if (m_options.plugAfter) m_runner->schedule({Action{Action::Kind::Replug, *m_options.plugAfter, {}}});

    serveLoop();

    m_runner->stop();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_client.reset();
    }
    writeImage();
    return m_model.crcMatches() ? 0 : 1;
}

void SimServer::serveLoop() {
    for (;;) {
        pollfd fds[3];
        nfds_t count = 0;
        fds[count++] = {gWakeRead, POLLIN, 0};
        // One platform at a time: a second one waits in the backlog until the first leaves.
        const int peer = m_client ? m_client.get() : m_listen.get();
        fds[count++] = {peer, POLLIN, 0};
        if (m_stdinOpen) fds[count++] = {STDIN_FILENO, POLLIN, 0};

        if (::poll(fds, count, -1) < 0) {
            if (errno == EINTR) continue;
            std::cerr << "ktrq7-sim: poll: " << std::strerror(errno) << '\n';
            return;
        }
        if (fds[0].revents != 0) return;
        if (fds[1].revents != 0) {
            if (m_client)
                readClient();
            else
                acceptClient();
        }
        if (count > 2 && fds[2].revents != 0) readCommands();
    }
}

void SimServer::acceptClient() {
    Fd client(::accept4(m_listen.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!client) return;
    const timeval timeout{kSendTimeoutMs / 1000, (kSendTimeoutMs % 1000) * 1000};
    ::setsockopt(client.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    m_decoder = sw::FrameDecoder();
    say("connected");
    std::lock_guard<std::mutex> lock(m_mutex);
    m_client = std::move(client);
    if (m_present)
        sendLocked(sw::Type::Arrived,
                   sw::encodeProperties(wireProperties(ktrsim::hidDeviceInfo(m_model.config().identity))));
}

void SimServer::dropClient() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_client.reset();
    }
    say("disconnected");
}

void SimServer::readClient() {
    uint8_t buffer[16 * 1024];
    const ssize_t n = ::recv(m_client.get(), buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
        dropClient();
        return;
    }
    const uint8_t* p = buffer;
    size_t left = static_cast<size_t>(n);
    while (left > 0 && m_client) {
        const size_t used = m_decoder.feed(p, left);
        p += used;
        left -= used;
        if (m_decoder.state() == sw::FrameDecoder::State::Complete) {
            onFrame(m_decoder.take());
        } else if (m_decoder.state() == sw::FrameDecoder::State::Malformed) {
            std::cerr << "ktrq7-sim: malformed frame from the platform\n";
            dropClient();
        }
    }
}

void SimServer::onFrame(const sw::Frame& frame) {
    const auto report = frame.type == sw::Type::SetReport ? sw::parseSetReport(frame.payload) : std::nullopt;
    if (!report) {
        std::cerr << "ktrq7-sim: unexpected frame from the platform\n";
        dropClient();
        return;
    }
    onSetReport(*report);
}

void SimServer::onSetReport(const sw::Report& report) {
    // All under the lock, so that the device cannot leave between the check and the answer.
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_present) {
        sendLocked(sw::Type::Ack, sw::encodeAck(report.sequence, kIOReturnNoDevice));
        return;
    }
    if (report.reportType != kIOHIDReportTypeOutput) {
        sendLocked(sw::Type::Ack, sw::encodeAck(report.sequence, kIOReturnSuccess));
        return;
    }
    const size_t index = m_model.receivedCount();
    recordReport(report.bytes);
    say("report " + (report.bytes.empty() ? std::string("-") : hex2(report.bytes[0])) + " " + std::to_string(index));
    m_runner->submit([&] {
        auto actions = m_model.receive(report.bytes);
        sendLocked(sw::Type::Ack, sw::encodeAck(report.sequence, kIOReturnSuccess));
        return actions;
    });
}

void SimServer::recordReport(const std::vector<uint8_t>& bytes) {
    if (!m_reports) return;
    std::vector<uint8_t> record(ktrsim::kRequestSize, 0);
    std::copy(bytes.begin(), bytes.begin() + static_cast<long>(std::min(bytes.size(), record.size())), record.begin());
    if (std::fwrite(record.data(), 1, record.size(), m_reports.get()) != record.size() ||
        std::fflush(m_reports.get()) != 0) {
        std::cerr << "ktrq7-sim: cannot write " << m_options.reportsPath << "; no more reports are recorded\n";
        m_reports.reset();
    }
}

void SimServer::readCommands() {
    char buffer[1024];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
        // Running with its input closed is normal: it is then driven by signals alone.
        m_stdinOpen = false;
        return;
    }
    for (ssize_t i = 0; i < n; ++i) {
        if (buffer[i] != '\n') {
            // A line longer than any command is refused whole rather than kept growing.
            if (m_commandLine.size() <= 64) m_commandLine.push_back(buffer[i]);
            continue;
        }
        std::string line;
        line.swap(m_commandLine);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        command(line);
    }
}

void SimServer::command(const std::string& line) {
    if (line.empty()) return;
    if (line == "quit") {
        requestQuit();
    } else if (line == "plug") {
        std::lock_guard<std::mutex> lock(m_mutex);
        setPresentLocked(true);
    } else if (line == "unplug" || line == "replug") {
        // Pending replies and re-arrivals are lost, as with a real unplug.
        m_runner->cancel();
        m_model.endSession();
        std::lock_guard<std::mutex> lock(m_mutex);
        setPresentLocked(false);
        if (line == "replug") setPresentLocked(true);
    } else {
        std::cerr << "ktrq7-sim: unknown command '" << line.substr(0, 64) << "'\n";
    }
}

void SimServer::setPresentLocked(bool present) {
    if (m_present == present) return;
    m_present = present;
    say(present ? "plugged" : "unplugged");
    if (!m_client) return;
    if (present)
        sendLocked(sw::Type::Arrived,
                   sw::encodeProperties(wireProperties(ktrsim::hidDeviceInfo(m_model.config().identity))));
    else
        sendLocked(sw::Type::Left, {});
}

bool SimServer::sendLocked(sw::Type type, const std::vector<uint8_t>& payload) {
    if (!m_client) return false;
    const std::vector<uint8_t> frame = sw::encodeFrame(type, payload);
    size_t sent = 0;
    while (sent < frame.size()) {
        const ssize_t n = ::send(m_client.get(), frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // The loop notices the shut-down socket and lets the platform go; closing here would race its poll.
            ::shutdown(m_client.get(), SHUT_RDWR);
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

void SimServer::execute(const Action& action) {
    bool sentFinish = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        switch (action.kind) {
            case Action::Kind::Reply:
                if (m_present && m_client) {
                    const auto payload =
                        sw::encodeInput(kIOHIDReportTypeInput, 0, action.bytes.data(), action.bytes.size());
                    sentFinish = sendLocked(sw::Type::Input, payload) && !action.bytes.empty() &&
                                 action.bytes[0] == ktrsim::reply::kFinished;
                }
                break;
            case Action::Kind::Unplug:
                setPresentLocked(false);
                break;
            case Action::Kind::Replug:
                setPresentLocked(true);
                break;
        }
    }
    if (sentFinish) finished();
}

void SimServer::finished() {
    writeImage();
    say(std::string("finished crc=") + (m_model.crcMatches() ? "ok" : "bad"));
    if (m_options.exitAfterFinish) requestQuit();
}

void SimServer::writeImage() {
    if (m_options.imagePath.empty()) return;
    std::lock_guard<std::mutex> lock(m_imageMutex);
    const std::vector<uint8_t> image = m_model.image();
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(m_options.imagePath.c_str(), "wb"), &std::fclose);
    const bool ok =
        f && std::fwrite(image.data(), 1, image.size(), f.get()) == image.size() && std::fclose(f.release()) == 0;
    if (!ok) std::cerr << "ktrq7-sim: cannot write " << m_options.imagePath << '\n';
}

}  // namespace ktrsimtool
