// ktrq7-sim as its own process, as the end-to-end tests and the README use it, met on its socket by the test in
// the platform's place; and the platform's KTRQ7_SIM_SOCKET link against a simulator that misbehaves.
#include <gtest/gtest.h>
#include <ktrplatform/DeviceRegistry.h>
#include <ktrplatform/SimWire.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <future>
#include <utility>

#include "Host.h"
#include "Requests.h"
#include "TestSupport.h"

using namespace simtest;
using namespace std::string_literals;
namespace sw = ktrplatform::simwire;

namespace {

// Named before the first HID manager starts the link; ktrq7-sim's status lines go to a file beside it.
const std::string kSocket = "/tmp/ktrq7-sim-test-" + std::to_string(::getpid()), kOut = kSocket + ".out",
                  kImage = kSocket + ".image", kReports = kSocket + ".reports";
[[maybe_unused]] const int kSetUp = (::setenv("KTRQ7_SIM_SOCKET", kSocket.c_str(), 1), ::signal(SIGPIPE, SIG_IGN),
                                     std::atexit([] { (void)!std::system(("rm -f " + kSocket + "*").c_str()); }));

bool waitFor(const std::function<bool()>& done) { return ktrtest::pumpUntil(done, std::chrono::seconds(10)); }

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The simulator wrote this status line.
bool said(const std::string& line) {
    return waitFor([&] { return readFile(kOut).find(line + "\n") != std::string::npos; });
}

// ktrq7-sim --socket kSocket ARGS, with commands to its standard input and 20 seconds to end.
struct Sim {
    explicit Sim(const std::string& args)
        : in((::unlink(kOut.c_str()),
              ::popen(("exec timeout 20 " KTRQ7_SIM_PATH " --socket " + kSocket + " " + args + " >" + kOut).c_str(),
                      "w"))) {}
    ~Sim() { exitStatus(); }
    void command(const char* line) { std::fprintf(in, "%s\n", line), std::fflush(in); }
    int exitStatus() {
        const int status = in ? ::pclose(std::exchange(in, nullptr)) : -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    FILE* in;
};

// A Unix socket at kSocket, listening or connected, that gives up waiting after ten seconds.
int unixSocket(bool listen) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval tenSeconds{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tenSeconds, sizeof tenSeconds);
    sockaddr_un address{AF_UNIX, {}};
    std::strncpy(address.sun_path, kSocket.c_str(), sizeof address.sun_path - 1);
    const auto* a = reinterpret_cast<sockaddr*>(&address);
    EXPECT_EQ(listen ? ::bind(fd, a, sizeof address) | ::listen(fd, 4) : ::connect(fd, a, sizeof address), 0);
    return fd;
}

// The next frame on the socket, or an empty one of no type when it closed or stayed silent.
sw::Frame readFrame(int fd) {
    sw::FrameDecoder decoder;
    for (uint8_t byte; decoder.state() == sw::FrameDecoder::State::Incomplete && ::recv(fd, &byte, 1, 0) == 1;)
        decoder.feed(&byte, 1);
    return decoder.state() == sw::FrameDecoder::State::Complete ? decoder.take() : sw::Frame{sw::Type(0), {}};
}

bool send(int fd, const Bytes& b) { return ::send(fd, b.data(), b.size(), MSG_NOSIGNAL) == ssize_t(b.size()); }

// The platform's side of ktrq7-sim's socket. Frames read as "arrived", "left", "refused" (a report not taken),
// "ok" (one taken) or the reply as replyText.
struct Platform {
    std::string read(int frames = 1) {
        std::string out;
        for (int i = 0; i < frames; ++i) {
            const sw::Frame frame = readFrame(fd);
            const auto input = sw::parseInput(frame.payload);
            const auto ack = sw::parseAck(frame.payload);
            const std::string names[] = {"nothing", "arrived", "left", input ? replyText(input->bytes) : "",
                                         ack && !ack->result ? "ok" : "refused"};
            out += (i ? " " : "") + (frame.type <= sw::Type::Ack ? names[int(frame.type)] : "unexpected");
        }
        return out;
    }
    // The answers to the reports: the reply, or why there was none.
    std::string exchange(const std::vector<Bytes>& reports, uint8_t type = kIOHIDReportTypeOutput) {
        std::string out;
        for (const Bytes& r : reports) {
            send(fd, sw::encodeFrame(sw::Type::SetReport, sw::encodeSetReport(++seq, type, 0, r.data(), r.size())));
            const std::string ack = read();
            if (ack == "ok" && type == kIOHIDReportTypeOutput) sent.append(r.begin(), r.end());
            out += (out.empty() ? "" : " ") + (ack != "ok" || type != kIOHIDReportTypeOutput ? ack : read());
        }
        return out;
    }
    int fd = (said("listening " + kSocket), unixSocket(false));
    uint32_t seq = 0;
    std::string sent;  // the output reports the device took in
};

}  // namespace

// Plugged in on command, unplugged (which ends the session) and replugged either way, then a whole update.
TEST(SimTool, PlugCommandsAndAnUpdateRecordedAndEndedWithZero) {
    const Bytes image = makeFile(2500, 3);
    Sim sim("--unplugged --input-size 64 --finish-writing 1 --last-chunk-reply 0xFB --fault cmd=0xF1:1,percent=42 "s +
            "--exit-after-finish --reports " + kReports + " --image " + kImage);
    Platform platform;
    const auto update = wholeUpdate(image, 2);
    EXPECT_EQ(platform.exchange({update[0]}), "refused");
    sim.command("plug");
    EXPECT_EQ(platform.read(), "arrived");
    EXPECT_EQ(platform.exchange({update[0], update[1]}), "f8/0#64 f9/0#64");
    EXPECT_EQ(platform.exchange({image}, kIOHIDReportTypeFeature), "ok");  // not for the device's model
    sim.command("unplug");
    sim.command("replug");  // while out: comes in, its session gone
    EXPECT_EQ(platform.read(2), "left arrived");
    EXPECT_EQ(platform.exchange({update[2]}), "ff/0#64");
    sim.command("replug");  // while in: leaves and comes in again
    EXPECT_EQ(platform.read(2), "left arrived");
    EXPECT_EQ(platform.exchange(update), "f8/0#64 f9/42#64 f9/40#64 f9/81#64 fb/100#64 f7/50#64 fc/100#64");
    EXPECT_EQ(sim.exitStatus(), 0);
    EXPECT_EQ(readFile(kOut), "listening " + kSocket + "\nconnected\nplugged\nreport f0 0\nreport f1 1\nunplugged\n" +
                                  "plugged\nreport f3 2\nunplugged\nplugged\nreport f0 3\nreport f1 4\nreport f3 5\n" +
                                  "report f3 6\nreport f3 7\nreport f2 8\nreport f2 9\nfinished crc=ok\n");
    EXPECT_EQ(readFile(kReports), platform.sent);
    EXPECT_EQ(readFile(kImage), std::string(image.begin(), image.end()));
}

TEST(SimTool, BadUsageExitsTwoAWrongCrcOneAndAStaleSocketIsTakenOver) {
    std::ofstream(kImage) << "keep me";
    for (const char* args : {"--frobnicate", "--socket", "--fault chunk=1,bogus=2", "--product 0x10000",
                             "--last-chunk-reply 0xF9", "--reports /nonexistent-ktr/r"})
        EXPECT_EQ(Sim(args).exitStatus(), 2) << args;
    EXPECT_EQ(Sim("--socket " + kImage).exitStatus() + Sim("--socket /tmp/" + std::string(200, 'a')).exitStatus(), 4);
    EXPECT_EQ(readFile(kImage), "keep me");
    EXPECT_EQ(Sim("--help").exitStatus(), 0);
    ::close(unixSocket(true));  // a socket nobody serves, as a killed simulator leaves it
    const Bytes image = makeFile(2500);
    auto update = wholeUpdate(image, 4);
    update[0] = startRequest(5, 2500, ktrsim::crc16Xmodem(image.data(), image.size()) ^ 0x8000);  // not the image's
    Sim sim("--image " + kImage);
    Platform platform;
    EXPECT_EQ(platform.read(), "arrived");
    EXPECT_EQ(platform.exchange(update), "f8/0 f9/0 f9/40 f9/81 fe/100 f7/25 f7/50 f7/75 fc/100");
    ASSERT_TRUE(said("finished crc=bad"));
    EXPECT_EQ(Sim("").exitStatus(), 2);  // its socket is in use
    sim.command("quit");
    EXPECT_EQ(sim.exitStatus(), 1);
    EXPECT_EQ(readFile(kImage), std::string(image.begin(), image.end()));
}

// A simulator driven by hand: no answer, a late and a stray answer, a second arrival, a dropped link, then what
// ktrq7-sim never sends.
TEST(SimLink, TimesOutMatchesAnswersAndEndsOnBadMessages) {
    const int listener = unixSocket(true);
    int fake = -1;
    IOHIDManagerRef manager = IOHIDManagerCreate(nullptr, 0);  // starts the link
    const auto accept = [&] {                                  // the platform's next connection, shown a device
        ::close(fake);
        fake = ::accept(listener, nullptr, nullptr);
        const timeval tenSeconds{10, 0};
        ::setsockopt(fake, SOL_SOCKET, SO_RCVTIMEO, &tenSeconds, sizeof tenSeconds);
        return send(fake, sw::encodeFrame(sw::Type::Arrived, sw::encodeProperties({{"VendorID", int64_t{1}}}))) &&
               waitFor([&] { return ktrplatform::attachedDeviceCount() == 1; });
    };
    ASSERT_TRUE(accept());
    CFSetRef devices = IOHIDManagerCopyDevices(manager);  // holds the device
    IOHIDDeviceRef device = nullptr;
    CFSetGetValues(devices, const_cast<const void**>(reinterpret_cast<void**>(&device)));
    const auto set = [&device](const Bytes& r) {
        return IOHIDDeviceSetReport(device, kIOHIDReportTypeOutput, 0, r.data(), 1024);
    };
    EXPECT_EQ(set(openRequest()), kIOReturnTimeout);
    const auto first = sw::parseSetReport(readFrame(fake).payload);
    ASSERT_TRUE(first && first->bytes == openRequest() && first->reportType == kIOHIDReportTypeOutput);
    auto pending = std::async(std::launch::async, set, finishRequest());
    const auto second = sw::parseSetReport(readFrame(fake).payload);
    ASSERT_TRUE(second);
    for (const auto& [sequence, result] : {std::pair<uint32_t, IOReturn>{first->sequence, kIOReturnSuccess},
                                           {second->sequence + 100, kIOReturnSuccess},
                                           {second->sequence, kIOReturnNotPermitted}})  // late, stray, the answer
        send(fake, sw::encodeFrame(sw::Type::Ack, sw::encodeAck(sequence, result)));
    EXPECT_EQ(pending.get(), kIOReturnNotPermitted);

    // A second arrival replaces the device; a dropped link lets a sender still waiting go at once.
    send(fake, sw::encodeFrame(sw::Type::Arrived, sw::encodeProperties({{"VendorID", int64_t{2}}})));
    ASSERT_TRUE(waitFor([&] {
        CFRelease(devices), devices = IOHIDManagerCopyDevices(manager);
        if (CFSetGetCount(devices) != 1) return false;
        CFSetGetValues(devices, const_cast<const void**>(reinterpret_cast<void**>(&device)));
        return numberProperty(device, "VendorID") == 2;
    }));
    pending = std::async(std::launch::async, set, openRequest());
    ASSERT_TRUE(sw::parseSetReport(readFrame(fake).payload));
    ::shutdown(fake, SHUT_RDWR);
    EXPECT_EQ(pending.get(), kIOReturnNoDevice);

    // Too long, of no known type, cut properties, an unknown property tag, a departure with a payload, a short and a
    // long acknowledgement, input without a report type or of none, a report request.
    // clang-format off
    const std::string bad[] = {"\3\1\0\1\0"s, "B\0\0\0\0"s, "\1\3\0\0\0\5Ve"s, "\1\3\0\0\0\1V\t"s, "\2\1\0\0\0\1"s,
        "\4\3\0\0\0\1\2\3"s, "\4\t\0\0\0\1\0\0\0\0\0\0\0\0"s, "\3\1\0\0\0\0"s, "\3\3\0\0\0\3\0\370"s,
        "\20\7\0\0\0\0\0\0\0\1\0\360"s};
    // clang-format on
    for (size_t i = 0; i < std::size(bad); ++i) {
        ASSERT_TRUE(accept() && send(fake, Bytes(bad[i].begin(), bad[i].end()))) << i;
        uint8_t byte;
        EXPECT_EQ(::recv(fake, &byte, 1, 0), 0) << i;  // the platform hangs up, and the device leaves
        EXPECT_TRUE(waitFor([&] { return ktrplatform::attachedDeviceCount() == 0; })) << i;
    }
    ::close(fake), ::close(listener), CFRelease(devices), CFRelease(manager);
}
