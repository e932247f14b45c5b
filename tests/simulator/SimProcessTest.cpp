// ktrq7-sim as its own process, met through the platform's KTRQ7_SIM_SOCKET
// attachment; and the attachment against a hand-driven simulator that misbehaves.
#include <gtest/gtest.h>
#include <ktrplatform/DeviceRegistry.h>
#include <ktrplatform/SimWire.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>

#include "Host.h"
#include "Requests.h"
#include "SimProcess.h"

using namespace ktrsim;
using namespace simtest;
namespace sw = ktrplatform::simwire;

namespace {

using Bytes = std::vector<uint8_t>;

// One path per test process, named before the first HID manager starts the attachment.
const std::string& socketPath() {
    static const std::string path = "/tmp/ktrq7-sim-test-" + std::to_string(::getpid()) + ".sock";
    return path;
}

class SocketEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ::setenv("KTRQ7_SIM_SOCKET", socketPath().c_str(), 1); }
    void TearDown() override { ::unlink(socketPath().c_str()); }
};
[[maybe_unused]] ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new SocketEnvironment);

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool noDeviceLeft() {
    return ktrtest::pumpUntil([] { return ktrplatform::attachedDeviceCount() == 0; }, 10s);
}

// Each case leaves no device and no socket behind for the next one in the same process.
class SimProcessTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(::mkdtemp(m_dir.data()), nullptr); }
    void TearDown() override {
        EXPECT_TRUE(noDeviceLeft());
        ::unlink(socketPath().c_str());
        for (const char* name : {"reports", "image", "plain"}) ::unlink(file(name).c_str());
        ::rmdir(m_dir.c_str());
    }
    std::string file(const char* name) const { return m_dir + "/" + name; }
    std::vector<std::string> args(std::initializer_list<std::string> more) const {
        std::vector<std::string> all = {"--socket", socketPath()};
        all.insert(all.end(), more.begin(), more.end());
        return all;
    }

    std::string m_dir = "/tmp/ktrq7-sim-files-XXXXXX";
};

using SimTool = SimProcessTest;
using SimLink = SimProcessTest;

}  // namespace

TEST_F(SimTool, FullUpdateRecordsEverythingAndExitsZero) {
    const auto image = makeFile(2500, 3);
    SimProcess sim(args({"--product", "0x63", "--release", "0x0105", "--reports", file("reports"), "--image",
                         file("image"), "--exit-after-finish", "--finish-writing", "1", "--last-chunk-reply", "0xFB"}));
    ASSERT_TRUE(sim.waitForLine("listening " + socketPath()));
    ASSERT_TRUE(sim.waitForLine("plugged"));
    Host host;
    ASSERT_TRUE(host.waitForDevice());
    EXPECT_TRUE(sim.waitForLine("connected"));
    expectKtrProperties(host.device(), 0x63, 0x0105, 0x14200000);
    // Only output reports reach the device; the others are acknowledged and dropped.
    EXPECT_EQ(host.send(startRequest(1, 10, 0), kIOHIDReportTypeFeature), kIOReturnSuccess);

    const auto requests = wholeUpdate(image, 2);
    Bytes codes;
    for (const auto& r : requests) {
        const auto answer = host.exchange(r);
        ASSERT_TRUE(answer) << "request " << codes.size();
        codes.push_back((*answer)[0]);
    }
    EXPECT_EQ(codes, (Bytes{reply::kStarted, reply::kContinue, reply::kContinue, reply::kContinue, reply::kBlockDoneAlt,
                            reply::kWriting, reply::kFinished}));
    for (CFIndex length : host.inputLengths()) EXPECT_EQ(length, 1024);

    ASSERT_TRUE(sim.waitForLine("report f0 0"));
    ASSERT_TRUE(sim.waitForLine("report f3 4"));
    ASSERT_TRUE(sim.waitForLine("finished crc=ok"));
    EXPECT_EQ(sim.waitExit(), 0);
    // Its going is the device's removal.
    ASSERT_TRUE(host.pumpUntilEvents(requests.size() + 2));
    EXPECT_EQ(host.events().back(), "removal");

    Bytes all;
    for (const auto& r : requests) all.insert(all.end(), r.begin(), r.end());
    EXPECT_EQ(readFile(file("reports")), all);
    EXPECT_EQ(readFile(file("image")), image);
}

TEST_F(SimTool, ExitsOneWithoutACorrectImage) {
    const auto image = makeFile(1500);
    {
        // Plugged in later; the end of its input does not stop it, SIGTERM does. No data came.
        SimProcess sim(args({"--image", file("image"), "--plug-after", "100"}));
        sim.closeInput();
        Host host;
        ASSERT_TRUE(host.waitForDevice());
        ASSERT_TRUE(sim.waitForLine("plugged"));
        EXPECT_EQ((*host.exchange(startRequest(1, 10, 0)))[0], reply::kStarted);
        EXPECT_FALSE(sim.waitExit(200ms));
        sim.signal(SIGTERM);
        EXPECT_EQ(sim.waitExit(), 1);
        EXPECT_TRUE(readFile(file("image")).empty());
    }
    ASSERT_TRUE(noDeviceLeft());
    {
        // The whole image, but not the announced CRC.
        SimProcess sim(args({"--image", file("image")}));
        Host host;
        ASSERT_TRUE(host.waitForDevice());
        auto requests = wholeUpdate(image, 4);
        requests[0] =
            startRequest(5, static_cast<uint32_t>(image.size()), crc16Xmodem(image.data(), image.size()) ^ 0x8000);
        for (const auto& r : requests) ASSERT_TRUE(host.exchange(r));
        EXPECT_EQ(host.inputs().back()[0], reply::kFinished);
        ASSERT_TRUE(sim.waitForLine("finished crc=bad"));
        EXPECT_EQ(readFile(file("image")), image);
        sim.command("quit");
        EXPECT_EQ(sim.waitExit(), 1);
    }
    ASSERT_TRUE(noDeviceLeft());
    {
        // Interrupted half-way: what arrived is written at exit.
        SimProcess sim(args({"--image", file("image")}));
        Host host;
        ASSERT_TRUE(host.waitForDevice());
        const auto requests = wholeUpdate(image, 0);
        for (size_t i = 0; i < 3; ++i) ASSERT_TRUE(host.exchange(requests[i]));
        sim.signal(SIGINT);
        EXPECT_EQ(sim.waitExit(), 1);
        EXPECT_EQ(readFile(file("image")), Bytes(image.begin(), image.begin() + 1022));
    }
}

TEST_F(SimTool, PlugCommandsOnStandardInput) {
    const auto image = makeFile(1500);
    SimProcess sim(args({"--unplugged"}));
    Host host;
    ASSERT_TRUE(sim.waitForLine("connected"));
    ktrtest::pumpFor(50ms);
    EXPECT_EQ(host.device(), nullptr);

    sim.command("plug");
    ASSERT_TRUE(host.waitForDevice());
    EXPECT_TRUE(sim.waitForLine("plugged"));
    ASSERT_TRUE(host.exchange(startRequestFor(image)));
    IOHIDDeviceRef gone = host.device();
    CFRetain(gone);

    sim.command("unplug");
    ASSERT_TRUE(host.pumpUntilEvents(3));
    const auto report = openRequest();
    EXPECT_EQ(IOHIDDeviceSetReport(gone, kIOHIDReportTypeOutput, 0, report.data(), 1024), kIOReturnNoDevice);
    CFRelease(gone);

    sim.command("replug");  // while out: comes in
    ASSERT_TRUE(host.waitForDevice());
    // The unplug ended the session.
    EXPECT_EQ((*host.exchange(dataRequests(image)[0]))[0], reply::kRejected);

    sim.command("replug");  // while in: out and in again
    sim.command("dance");
    ASSERT_TRUE(host.pumpUntilEvents(7));
    EXPECT_EQ(host.events(), (Events{"arrival", "input", "removal", "arrival", "input", "removal", "arrival"}));
    sim.command("quit");
    EXPECT_EQ(sim.waitExit(), 1);
    EXPECT_NE(sim.errorText().find("unknown command 'dance'"), std::string::npos);
}

TEST_F(SimTool, FaultsShapeTheReplies) {
    const auto image = makeFile(3000);
    SimProcess sim(args({"--fault", "report=0,size=2", "--fault", "cmd=0xF1:0,percent=42,delay=30", "--fault",
                         "chunk=0,reply=0xFE", "--fault", "chunk=1,unplug=instead,rearrive=50", "--input-size", "64"}));
    Host host;
    ASSERT_TRUE(host.waitForDevice());
    EXPECT_EQ(*host.exchange(startRequestFor(image)), (Bytes{reply::kStarted, 0}));
    const auto opened = *host.exchange(openRequest());
    EXPECT_EQ(Bytes(opened.begin(), opened.begin() + 2), (Bytes{reply::kContinue, 42}));
    const auto chunks = dataRequests(image);
    EXPECT_EQ((*host.exchange(chunks[0]))[0], reply::kBlockDone);
    EXPECT_EQ(host.send(chunks[1]), kIOReturnSuccess);
    ASSERT_TRUE(host.pumpUntilEvents(6));
    EXPECT_EQ(host.events(), (Events{"arrival", "input", "input", "input", "removal", "arrival"}));
    ASSERT_TRUE(host.waitForDevice());
    EXPECT_EQ((*host.exchange(chunks[2]))[0], reply::kRejected);
    EXPECT_EQ(host.inputLengths(), (std::vector<CFIndex>{2, 64, 64, 64}));
}

TEST_F(SimTool, KilledSimulatorIsRemovedAndANewOneFound) {
    auto sim = std::make_unique<SimProcess>(args({}));
    Host host;
    ASSERT_TRUE(host.waitForDevice());
    ASSERT_TRUE(host.exchange(startRequest(1, 10, 0)));
    IOHIDDeviceRef old = host.device();
    CFRetain(old);

    sim->signal(SIGKILL);
    EXPECT_FALSE(sim->waitExit());  // ended by the signal
    ASSERT_TRUE(host.pumpUntilEvents(3));
    EXPECT_EQ(host.events().back(), "removal");
    const auto report = openRequest();
    EXPECT_NE(IOHIDDeviceSetReport(old, kIOHIDReportTypeOutput, 0, report.data(), 1024), kIOReturnSuccess);
    CFRelease(old);

    // Its socket is left behind; the next simulator takes the path over.
    sim = std::make_unique<SimProcess>(args({}));
    ASSERT_TRUE(sim->waitForLine("listening " + socketPath()));
    ASSERT_TRUE(host.waitForDevice());
    EXPECT_EQ((*host.exchange(startRequest(1, 10, 0)))[0], reply::kStarted);
}

TEST_F(SimTool, BadCommandLinesExitTwo) {
    std::ofstream(file("plain")) << "keep me";
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--socket"},
        {"--frobnicate"},
        args({"--fault"}),
        args({"--fault", "chunk=1,bogus=2"}),
        args({"--fault", "cmd=0xF2"}),
        args({"--fault", "reply=0xFE"}),
        args({"--fault", "chunk=1,size=70000"}),
        args({"--product", "0x10000"}),
        args({"--release", "1.05"}),
        args({"--input-size", "-1"}),
        args({"--last-chunk-reply", "0xF9"}),
        args({"--finish-writing", "many"}),
        args({"--plug-after", ""}),
        {"--socket", "/tmp/" + std::string(200, 'a')},
        {"--socket", "/nonexistent-ktr-dir/sim.sock"},
        {"--socket", file("plain")},
        args({"--reports", "/nonexistent-ktr-dir/reports"}),
    };
    for (const auto& a : bad) {
        std::string shown;
        for (const auto& s : a) shown += s + " ";
        SimProcess sim(a);
        ASSERT_TRUE(sim.started());
        EXPECT_EQ(sim.waitExit(), 2) << shown;
        EXPECT_NE(sim.errorText().find("ktrq7-sim: "), std::string::npos) << shown;
    }
    // Not taken for a stale socket and removed.
    EXPECT_EQ(readFile(file("plain")).size(), 7u);

    SimProcess help({"--help"});
    EXPECT_TRUE(help.waitForLine("  --fault FAULT", true));
    EXPECT_EQ(help.waitExit(), 0);

    // A path another simulator serves is left to it.
    SimProcess first(args({}));
    ASSERT_TRUE(first.waitForLine("listening " + socketPath()));
    SimProcess second(args({}));
    EXPECT_EQ(second.waitExit(), 2);
    EXPECT_NE(second.errorText().find("another simulator"), std::string::npos);
    Host host;
    EXPECT_TRUE(host.waitForDevice());
}

namespace {

// A simulator driven by hand, to send what ktrq7-sim never would.
class FakeSimulator {
public:
    FakeSimulator() {
        ::unlink(socketPath().c_str());
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socketPath().c_str(), sizeof address.sun_path - 1);
        m_ok =
            ::bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(m_listen, 4) == 0;
    }
    ~FakeSimulator() {
        drop();
        ::close(m_listen);
        ::unlink(socketPath().c_str());
    }

    bool ok() const { return m_ok; }
    bool accept() {
        drop();
        pollfd p{m_listen, POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0) return false;
        m_client = ::accept(m_listen, nullptr, nullptr);
        m_decoder = sw::FrameDecoder();
        return m_client >= 0;
    }
    void drop() {
        if (m_client >= 0) ::close(m_client);
        m_client = -1;
    }
    bool sendBytes(const Bytes& bytes) {
        return ::send(m_client, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    bool send(sw::Type type, const Bytes& payload) { return sendBytes(sw::encodeFrame(type, payload)); }
    bool arrive() {
        return send(sw::Type::Arrived,
                    sw::encodeProperties({{kIOHIDVendorIDKey, int64_t{0x4D2A}}, {kIOHIDProductIDKey, int64_t{0x62}}}));
    }

    // The next frame from the platform; null when the connection closed or ten seconds passed.
    std::optional<sw::Frame> readFrame() {
        pollfd p{m_client, POLLIN, 0};
        for (uint8_t byte; ::poll(&p, 1, 10000) > 0 && ::recv(m_client, &byte, 1, 0) == 1;) {
            m_decoder.feed(&byte, 1);
            if (m_decoder.state() == sw::FrameDecoder::State::Complete) return m_decoder.take();
            if (m_decoder.state() == sw::FrameDecoder::State::Malformed) break;
        }
        return std::nullopt;
    }

private:
    int m_listen = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int m_client = -1;
    bool m_ok = false;
    sw::FrameDecoder m_decoder;
};

// The report request in the platform's next frame.
std::optional<sw::Report> nextRequest(FakeSimulator& fake) {
    const auto frame = fake.readFrame();
    if (!frame) return std::nullopt;
    return sw::parseSetReport(frame->payload);
}

}  // namespace

TEST_F(SimLink, AcknowledgementsMatchedSilenceTimesOutAndDropsRelease) {
    FakeSimulator fake;
    ASSERT_TRUE(fake.ok());
    Host host;
    ASSERT_TRUE(fake.accept());
    // Input for a device not yet there is dropped; a second arrival replaces the first device.
    const uint8_t early[2] = {0xF8, 0};
    ASSERT_TRUE(fake.send(sw::Type::Input, sw::encodeInput(0, 0, early, 2)));
    ASSERT_TRUE(fake.arrive());
    ASSERT_TRUE(host.waitForDevice());
    ASSERT_TRUE(fake.arrive());
    ASSERT_TRUE(host.pumpUntilEvents(3));
    EXPECT_EQ(host.events(), (Events{"arrival", "removal", "arrival"}));
    ASSERT_TRUE(host.waitForDevice());

    // No answer: the sender gives up instead of hanging.
    EXPECT_EQ(host.send(openRequest()), kIOReturnTimeout);
    const auto first = nextRequest(fake);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->bytes, openRequest());
    EXPECT_EQ(first->reportType, kIOHIDReportTypeOutput);

    // A late answer and an answer to nothing are not taken for the next report's.
    auto pending = std::async(std::launch::async, [&] { return host.send(finishRequest()); });
    const auto second = nextRequest(fake);
    ASSERT_TRUE(second);
    EXPECT_NE(second->sequence, first->sequence);
    ASSERT_TRUE(fake.send(sw::Type::Ack, sw::encodeAck(first->sequence, kIOReturnSuccess)));
    ASSERT_TRUE(fake.send(sw::Type::Ack, sw::encodeAck(second->sequence + 100, kIOReturnSuccess)));
    ASSERT_TRUE(fake.send(sw::Type::Ack, sw::encodeAck(second->sequence, kIOReturnNotPermitted)));
    EXPECT_EQ(pending.get(), kIOReturnNotPermitted);

    const uint8_t answer[3] = {0xF9, 50, 7};
    ASSERT_TRUE(fake.send(sw::Type::Input, sw::encodeInput(0, 0, answer, 3)));
    ASSERT_TRUE(ktrtest::pumpUntil([&] { return host.inputs().size() == 1; }));
    EXPECT_EQ(host.inputs()[0], (Bytes{0xF9, 50, 7}));

    // A dropped connection releases the sender and takes the device away; the next connection is taken.
    pending = std::async(std::launch::async, [&] { return host.send(openRequest()); });
    ASSERT_TRUE(fake.readFrame());
    fake.drop();
    EXPECT_EQ(pending.get(), kIOReturnNoDevice);
    ASSERT_TRUE(host.pumpUntilEvents(5));
    EXPECT_EQ(host.events().back(), "removal");
    ASSERT_TRUE(fake.accept());
    ASSERT_TRUE(fake.arrive());
    ASSERT_TRUE(host.waitForDevice());
}

TEST_F(SimLink, BadMessagesEndTheConnection) {
    auto frame = [](uint8_t type, Bytes payload) {
        Bytes out = {type, static_cast<uint8_t>(payload.size()), 0, 0, 0};
        for (uint8_t b : payload) out.push_back(b);  // not insert: GCC 12 misreads it as out of bounds
        return out;
    };
    const std::vector<std::pair<const char*, Bytes>> bad = {
        {"oversized length", {0x03, 0x01, 0x00, 0x01, 0x00}},
        {"huge length", {0x03, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"unknown type", frame(0x42, {})},
        {"properties cut short", frame(0x01, {5, 'V', 'e'})},
        {"unknown property tag", frame(0x01, {1, 'V', 9})},
        {"departure with a payload", frame(0x02, {1})},
        {"acknowledgement too short", frame(0x04, {1, 2, 3})},
        {"input without a report type", frame(0x03, {0})},
        {"input of no report type", frame(0x03, {7, 0, 0xF8})},
        {"report request from the simulator", frame(0x10, {0, 0, 0, 0, 1, 0, 0xF0})},
    };
    FakeSimulator fake;
    ASSERT_TRUE(fake.ok());
    Host host;
    for (const auto& [what, bytes] : bad) {
        ASSERT_TRUE(fake.accept()) << what;
        ASSERT_TRUE(fake.arrive()) << what;
        ASSERT_TRUE(host.waitForDevice()) << what;
        ASSERT_TRUE(fake.sendBytes(bytes)) << what;
        // The platform hangs up and lets the device go.
        EXPECT_FALSE(fake.readFrame()) << what;
        EXPECT_TRUE(ktrtest::pumpUntil([&] { return host.device() == nullptr; })) << what;
    }
    EXPECT_EQ(host.events().size(), 2 * bad.size());
}
