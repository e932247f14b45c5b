// The hidraw source on fake sysfs trees, socket-pair nodes and a fake monitor: what a
// device shows, hot-plug, reports both ways, failures of nodes and bad facts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <ktrplatform/DeviceRegistry.h>
#include <ktrplatform/SystemDevices.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "FakeHidraw.h"
#include "TestSupport.h"
#include "Watcher.h"

using namespace hidrawtest;
using namespace std::chrono_literals;

namespace {

// A KTR-Q7 with its own serial number, on a port of its own (port N + 1 of bus 1 for hidrawN).
FakeDevice named(const std::string& name, const std::string& serial) {
    FakeDevice d = FakeDevice{}.at(name, 1, std::to_string(std::stoi(name.substr(6)) + 1));
    d.usbAttributes["serial"] = serial + "\n";
    return d;
}

class HidrawSource : public ::testing::Test {
protected:
    void TearDown() override {
        source.reset();
        ktrtest::pumpFor(10ms);
        EXPECT_EQ(ktrplatform::attachedDeviceCount(), 0u);
    }

    void start() {
        hr::SourceOptions options;
        options.sysfsRoot = sysfs.root();
        options.devRoot = FakeNodes::kDevRoot;
        options.opener = nodes.opener();
        options.monitor = std::make_unique<FakeMonitor>(feed);
        source = std::make_unique<hr::Source>(std::move(options));
    }

    // A device that every event before it has been dealt with once it is there: events are taken in order.
    void settle() {
        const int n = ++m_markers;
        FakeDevice marker = named("hidraw" + std::to_string(n), "marker" + std::to_string(n));
        marker.uevent = "HID_ID=0003:00001234:00000001\n";
        const size_t before = ktrplatform::attachedDeviceCount();
        sysfs.add(marker);
        nodes.make(marker.name);
        feed->add(marker.name);
        ASSERT_TRUE(ktrtest::pumpUntil([&] { return ktrplatform::attachedDeviceCount() > before; }));
        feed->remove(marker.name);
        ASSERT_TRUE(ktrtest::pumpUntil([&] { return ktrplatform::attachedDeviceCount() == before; }));
    }

    FakeSysfs sysfs;
    FakeNodes nodes;
    std::shared_ptr<MonitorFeed> feed = std::make_shared<MonitorFeed>();
    std::unique_ptr<hr::Source> source;
    int m_markers = 100;
};

std::optional<int64_t> number(IOHIDDeviceRef device, const char* key) { return numberProperty(device, key); }

}  // namespace

TEST_F(HidrawSource, AUsbDeviceShowsItsFactsAsProperties) {
    sysfs.add(FakeDevice{});
    nodes.make("hidraw0");
    start();
    ASSERT_EQ(ktrplatform::attachedDeviceCount(), 1u) << "devices present are attached before the source returns";
    Watcher watcher;
    ASSERT_TRUE(watcher.pumpUntilEvents(1));
    IOHIDDeviceRef d = watcher.device("Q7-0001");
    ASSERT_NE(d, nullptr);

    EXPECT_EQ(number(d, kIOHIDVendorIDKey), 0x4D2A);
    EXPECT_EQ(number(d, kIOHIDProductIDKey), 0x61);
    EXPECT_EQ(number(d, kIOHIDVersionNumberKey), 0x0105);
    EXPECT_EQ(number(d, kIOHIDLocationIDKey), 0x14200000);
    EXPECT_EQ(number(d, kIOHIDPrimaryUsagePageKey), 0xFF00);
    EXPECT_EQ(number(d, kIOHIDPrimaryUsageKey), 1);
    EXPECT_EQ(number(d, kIOHIDMaxInputReportSizeKey), 1024);
    EXPECT_EQ(number(d, kIOHIDMaxOutputReportSizeKey), 1024);
    EXPECT_EQ(number(d, kIOHIDMaxFeatureReportSizeKey), 0);
    EXPECT_EQ(textProperty(d, kIOHIDManufacturerKey), "KTR");
    EXPECT_EQ(textProperty(d, kIOHIDProductKey), "KTR-Q7");
    EXPECT_EQ(textProperty(d, kIOHIDTransportKey), "USB");

    CFStringRef key = CFStringCreateWithCString(nullptr, kIOHIDVendorIDKey, kCFStringEncodingUTF8);
    auto vendor = static_cast<CFNumberRef>(IOHIDDeviceGetProperty(d, key));
    CFRelease(key);
    ASSERT_NE(vendor, nullptr);
    EXPECT_EQ(CFNumberGetType(vendor), kCFNumberSInt32Type) << "numbers are stored as the virtual bus stores them";
}

TEST_F(HidrawSource, LocationIDEncodesTheBusAndThePortPath) {
    struct Case {
        unsigned long bus;
        const char* devpath;
        std::optional<uint32_t> location;
    };
    const Case cases[] = {
        {1, "2", 0x01200000},
        {1, "2.3", 0x01230000},
        {20, "2", 0x14200000},
        {3, "1.4.2", 0x03142000},
        {255, "15.15.15.15.15.15", 0xFFFFFFFF},
        {1, "1.1.1.1.1.1", 0x01111111},
        {0, "1", std::nullopt},
        {256, "1", std::nullopt},
        {1, "", std::nullopt},
        {1, "0", std::nullopt},
        {1, "16", std::nullopt},
        {1, "1.2.3.4.5.6.7", std::nullopt},
        {1, "2.", std::nullopt},
        {1, ".2", std::nullopt},
        {1, "2..3", std::nullopt},
        {1, "a", std::nullopt},
        {1, "-1", std::nullopt},
        {1, " 2", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(hr::usbLocationID(c.bus, c.devpath), c.location) << c.bus << " " << c.devpath;

    // Through sysfs: distinct ports give distinct IDs; one that does not fit gives none but still attaches.
    sysfs.add(named("hidraw0", "a").at("hidraw0", 1, "2.3"));
    sysfs.add(named("hidraw1", "b").at("hidraw1", 3, "1.4.2"));
    sysfs.add(named("hidraw2", "c").at("hidraw2", 1, "2.16"));
    sysfs.add(named("hidraw3", "d").at("hidraw3", 1, "2.4"));
    for (const char* name : {"hidraw0", "hidraw1", "hidraw2", "hidraw3"}) nodes.make(name);
    start();
    Watcher watcher;
    ASSERT_TRUE(watcher.pumpUntilEvents(4));
    EXPECT_EQ(number(watcher.device("a"), kIOHIDLocationIDKey), 0x01230000);
    EXPECT_EQ(number(watcher.device("b"), kIOHIDLocationIDKey), 0x03142000);
    EXPECT_EQ(number(watcher.device("c"), kIOHIDLocationIDKey), std::nullopt);
    EXPECT_EQ(number(watcher.device("d"), kIOHIDLocationIDKey), 0x01240000);

    // A replug into the same port keeps the ID.
    feed->remove("hidraw0");
    nodes.make("hidraw0");
    feed->add("hidraw0");
    ASSERT_TRUE(watcher.pumpUntilEvents(6));
    EXPECT_EQ(watcher.events()[4], "removal a");
    EXPECT_EQ(number(watcher.device("a"), kIOHIDLocationIDKey), 0x01230000);
}

TEST_F(HidrawSource, MissingOrGarbageFactsGiveDefinedDevices) {
    FakeDevice noID = named("hidraw0", "noID");
    noID.uevent = "HID_NAME=x\n";
    FakeDevice badID = named("hidraw1", "badID");
    badID.uevent = "HID_ID=0003:zz:00000061\n";
    FakeDevice shortID = named("hidraw2", "shortID");
    shortID.uevent = "HID_ID=0003:00004D2A\n";
    FakeDevice longID = named("hidraw3", "longID");
    longID.uevent = "HID_ID=0003:100004D2A:00000061\n";

    FakeDevice garbage;
    garbage.name = "hidraw4";
    garbage.usbName = "9-9";
    garbage.uevent = "HID_ID=0003:00004D2A:00000062\nHID_UNIQ=garbage\n";
    garbage.usbAttributes = {{"busnum", "x\n"},
                             {"devpath", "2\n"},
                             {"bcdDevice", "zz\n"},
                             {"manufacturer", std::string("\xFF\xFEK\0hidden", 10)}};
    garbage.descriptor.reset();

    // A Bluetooth device whose adapter is a USB device: the adapter's facts are not the device's.
    FakeDevice bluetooth = FakeDevice{}.at("hidraw5", 5, "1");
    bluetooth.usbAttributes["product"] = "Adapter\n";
    bluetooth.usbAttributes["serial"] = "adapter\n";
    bluetooth.uevent = "HID_ID=0005:0000046D:0000B01A\nHID_NAME=Pad\nHID_UNIQ=aa:bb\n";

    FakeDevice cutDescriptor = named("hidraw6", "cut");
    cutDescriptor.descriptor = Bytes{0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x96, 0x00};

    FakeDevice fifo = named("hidraw7", "fifo");
    const fs::path fifoHid = sysfs.add(fifo);
    fs::remove(fifoHid / "uevent");
    ASSERT_EQ(::mkfifo((fifoHid / "uevent").c_str(), 0600), 0);

    for (const FakeDevice* d : {&noID, &badID, &shortID, &longID, &garbage, &bluetooth, &cutDescriptor}) sysfs.add(*d);
    for (const char* name : {"hidraw0", "hidraw1", "hidraw2", "hidraw3", "hidraw4", "hidraw5", "hidraw6", "hidraw7"})
        nodes.make(name);
    // Entries that are no hidraw device, or lead nowhere.
    fs::create_directories(fs::path(sysfs.root()) / "class" / "hidraw" / "notraw");
    fs::create_directory_symlink("../../devices/gone", fs::path(sysfs.root()) / "class" / "hidraw" / "hidraw9");

    start();
    Watcher watcher;
    ASSERT_TRUE(watcher.pumpUntilEvents(3));
    EXPECT_EQ(ktrplatform::attachedDeviceCount(), 3u);

    IOHIDDeviceRef g = watcher.device("garbage");
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(number(g, kIOHIDProductIDKey), 0x62);
    EXPECT_EQ(number(g, kIOHIDVersionNumberKey), std::nullopt);
    EXPECT_EQ(number(g, kIOHIDLocationIDKey), std::nullopt);
    EXPECT_EQ(textProperty(g, kIOHIDManufacturerKey), "\xEF\xBF\xBD\xEF\xBF\xBDK");
    EXPECT_EQ(number(g, kIOHIDPrimaryUsagePageKey), std::nullopt);
    EXPECT_EQ(number(g, kIOHIDMaxInputReportSizeKey), std::nullopt);

    IOHIDDeviceRef b = watcher.device("aa:bb");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(textProperty(b, kIOHIDTransportKey), "Bluetooth");
    EXPECT_EQ(textProperty(b, kIOHIDProductKey), "Pad");
    EXPECT_EQ(textProperty(b, kIOHIDManufacturerKey), "");
    EXPECT_EQ(number(b, kIOHIDVendorIDKey), 0x46D);
    EXPECT_EQ(number(b, kIOHIDLocationIDKey), std::nullopt);
    EXPECT_EQ(number(b, kIOHIDVersionNumberKey), std::nullopt);

    IOHIDDeviceRef c = watcher.device("cut");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(number(c, kIOHIDPrimaryUsagePageKey), 0xFF00) << "what was read before the cut counts";
    EXPECT_EQ(number(c, kIOHIDMaxInputReportSizeKey), 0);
}

TEST_F(HidrawSource, HotPlugEventsAttachAndDetach) {
    start();
    Watcher watcher;
    // The settling marker may come and go before the watcher hears of it; only the KTR-Q7 counts here.
    const auto events = [&] {
        std::vector<std::string> mine;
        for (const std::string& e : watcher.events())
            if (e.find("Q7-0001") != std::string::npos) mine.push_back(e);
        return mine;
    };
    const auto pumpUntilEvents = [&](size_t n) { return ktrtest::pumpUntil([&] { return events().size() >= n; }); };

    sysfs.add(FakeDevice{});
    nodes.make("hidraw0");
    feed->add("hidraw0");
    ASSERT_TRUE(pumpUntilEvents(1));
    EXPECT_EQ(events()[0], "arrival Q7-0001");

    // Repeated, unknown, absent and impossible names change nothing.
    feed->add("hidraw0");
    feed->remove("hidraw42");
    feed->add("hidraw8");
    feed->add("../hidraw0");
    feed->add("");
    settle();
    EXPECT_EQ(ktrplatform::attachedDeviceCount(), 1u);

    feed->remove("hidraw0");
    ASSERT_TRUE(pumpUntilEvents(2));
    EXPECT_EQ(events()[1], "removal Q7-0001");
    EXPECT_EQ(ktrplatform::attachedDeviceCount(), 0u);

    nodes.make("hidraw0");
    feed->add("hidraw0");
    ASSERT_TRUE(pumpUntilEvents(3));
    EXPECT_EQ(events()[2], "arrival Q7-0001");
    EXPECT_EQ(events().size(), 3u);
}

TEST_F(HidrawSource, AnEndedMonitorLeavesTheDevicesWorking) {
    sysfs.add(FakeDevice{});
    const int device = nodes.make("hidraw0");
    start();
    Watcher watcher;
    ASSERT_TRUE(watcher.pumpUntilEvents(1));
    feed->end();
    feed->add("hidraw1");
    ASSERT_TRUE(sendMessage(device, Bytes(8, 1)));
    ASSERT_TRUE(watcher.pumpUntilInputs(1));
    EXPECT_EQ(watcher.send("Q7-0001", Bytes(4, 2)), kIOReturnSuccess);
    EXPECT_EQ(receiveMessage(device), (Bytes{0, 2, 2, 2, 2}));
}

TEST_F(HidrawSource, EachReadIsOneReportOfItsOwnLength) {
    sysfs.add(FakeDevice{});
    FakeDevice small = named("hidraw1", "small");
    small.descriptor = ktrDescriptor(64, 64);
    sysfs.add(small);
    const int device = nodes.make("hidraw0");
    const int smallDevice = nodes.make("hidraw1");
    start();
    Watcher watcher;
    ASSERT_TRUE(watcher.pumpUntilEvents(2));

    std::vector<Bytes> reports;
    for (size_t size : {64u, 1024u, 1u, 1023u, 64u}) {
        Bytes r(size);
        for (size_t i = 0; i < size; ++i) r[i] = static_cast<uint8_t>(i * 7 + size);
        reports.push_back(r);
        ASSERT_TRUE(sendMessage(device, r));
    }
    // Longer than its descriptor allows: cut to the longest report it declares.
    ASSERT_TRUE(sendMessage(smallDevice, Bytes(100, 0xA5)));
    ASSERT_TRUE(watcher.pumpUntilInputs(reports.size() + 1));

    std::vector<Input> big, cut;
    for (const Input& input : watcher.inputs()) (input.device == "small" ? cut : big).push_back(input);
    ASSERT_EQ(big.size(), reports.size());
    for (size_t i = 0; i < reports.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(big[i].length, static_cast<CFIndex>(reports[i].size()));
        EXPECT_EQ(big[i].bytes, reports[i]);
        EXPECT_EQ(big[i].reportID, 0u);
    }
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_EQ(cut[0].length, 64);
    EXPECT_EQ(cut[0].bytes, Bytes(64, 0xA5));
}

TEST_F(HidrawSource, NumberedReportsCarryTheirID) {
    FakeDevice numbered;
    // Report 2: 8 input bytes; report 5: 3 output bytes and 16 feature bytes.
    numbered.descriptor = Bytes{0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x75, 0x08, 0x85, 0x02, 0x95, 0x08, 0x81,
                                0x02, 0x85, 0x05, 0x95, 0x03, 0x91, 0x02, 0x95, 0x10, 0xB1, 0x02, 0xC0};
    sysfs.add(numbered);
    const int device = nodes.make("hidraw0");
    start();
    Watcher watcher;
    ASSERT_TRUE(watcher.pumpUntilEvents(1));
    IOHIDDeviceRef d = watcher.device("Q7-0001");
    EXPECT_EQ(number(d, kIOHIDPrimaryUsagePageKey), 1);
    EXPECT_EQ(number(d, kIOHIDPrimaryUsageKey), 6);
    EXPECT_EQ(number(d, kIOHIDMaxInputReportSizeKey), 9);
    EXPECT_EQ(number(d, kIOHIDMaxOutputReportSizeKey), 4);
    EXPECT_EQ(number(d, kIOHIDMaxFeatureReportSizeKey), 17);

    const Bytes report{2, 10, 11, 12, 13, 14, 15, 16, 17};
    ASSERT_TRUE(sendMessage(device, report));
    ASSERT_TRUE(watcher.pumpUntilInputs(1));
    EXPECT_EQ(watcher.inputs()[0].reportID, 2u);
    EXPECT_EQ(watcher.inputs()[0].bytes, report) << "delivered as read, the ID byte first";

    EXPECT_EQ(watcher.send("Q7-0001", {7, 8, 9}, 5), kIOReturnSuccess);
    EXPECT_EQ(receiveMessage(device), (Bytes{5, 7, 8, 9}));
}

TEST_F(HidrawSource, OutputReportsLeadWithTheReportNumberByte) {
    sysfs.add(FakeDevice{});
    const int device = nodes.make("hidraw0");
    start();
    Watcher watcher;
    ASSERT_TRUE(watcher.pumpUntilEvents(1));

    Bytes request(1024);
    for (size_t i = 0; i < request.size(); ++i) request[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(watcher.send("Q7-0001", request), kIOReturnSuccess);
    Bytes expected{0};
    expected.insert(expected.end(), request.begin(), request.end());
    EXPECT_EQ(receiveMessage(device), expected);

    // Only output reports go out; what cannot be sent never reaches the node.
    EXPECT_EQ(watcher.send("Q7-0001", {1, 2}, 0, kIOHIDReportTypeFeature), kIOReturnUnsupported);
    EXPECT_EQ(watcher.send("Q7-0001", Bytes(16384, 1)), kIOReturnBadArgument);
    EXPECT_EQ(watcher.send("Q7-0001", {0xF2}), kIOReturnSuccess);
    EXPECT_EQ(receiveMessage(device), (Bytes{0, 0xF2}));
}

TEST_F(HidrawSource, SendsFailOnceTheDeviceHasGone) {
    sysfs.add(FakeDevice{});
    sysfs.add(named("hidraw1", "second"));
    sysfs.add(named("hidraw2", "third"));
    const int first = nodes.make("hidraw0");
    const int second = nodes.make("hidraw1");
    nodes.make("hidraw2");
    start();
    Watcher watcher;
    ASSERT_TRUE(watcher.pumpUntilEvents(3));

    // The device stops taking reports before anything else shows it: the send fails, and so does the next.
    ASSERT_EQ(::shutdown(first, SHUT_RD), 0);
    EXPECT_EQ(watcher.send("Q7-0001", Bytes(1024, 1)), kIOReturnNoDevice);
    EXPECT_EQ(watcher.send("Q7-0001", Bytes(1024, 1)), kIOReturnNoDevice);

    // Unplugged, noticed through the node: a report sent just before still arrives, then the device leaves.
    ASSERT_TRUE(sendMessage(second, Bytes(64, 0x5A)));
    nodes.unplug(second);
    ASSERT_TRUE(watcher.pumpUntilEvents(4));
    EXPECT_EQ(watcher.events()[3], "removal second");
    ASSERT_EQ(watcher.inputs().size(), 1u);
    EXPECT_EQ(watcher.inputs()[0].length, 64);
    EXPECT_EQ(watcher.send("second", Bytes(1024, 1)), kIOReturnNoDevice);

    // Unplugged, told by the monitor.
    feed->remove("hidraw2");
    ASSERT_TRUE(watcher.pumpUntilEvents(5));
    EXPECT_EQ(watcher.events()[4], "removal third");
    EXPECT_EQ(watcher.send("third", Bytes(1024, 1)), kIOReturnNoDevice);
}

TEST_F(HidrawSource, AShortWriteIsAnErrorAndAFullNodeIsWaitedFor) {
    // A nearly full pipe takes only the start of a long write, which no hidraw node does.
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK), 0);
    const int capacity = ::fcntl(pipeFds[1], F_SETPIPE_SZ, 4096);
    ASSERT_GT(capacity, 0);
    sysfs.add(FakeDevice{});
    nodes.adopt("hidraw0", pipeFds[1]);
    start();
    Watcher watcher;
    ASSERT_TRUE(watcher.pumpUntilEvents(1));

    const Bytes fill(static_cast<size_t>(capacity) - 1000, 0xEE);
    ASSERT_EQ(::write(pipeFds[1], fill.data(), fill.size()), static_cast<ssize_t>(fill.size()));
    EXPECT_EQ(watcher.send("Q7-0001", Bytes(5000, 1)), kIOReturnError);

    // Full: the sender waits until there is room again.
    Bytes drain(65536);
    while (::read(pipeFds[0], drain.data(), drain.size()) > 0) {
    }
    const Bytes full(static_cast<size_t>(capacity), 0xEE);
    ASSERT_EQ(::write(pipeFds[1], full.data(), full.size()), static_cast<ssize_t>(full.size()));
    IOHIDDeviceRef d = watcher.device("Q7-0001");
    std::atomic<IOReturn> result{kIOReturnError};
    std::atomic<bool> done{false};
    std::thread sender([&] {
        const Bytes report(10, 3);
        result = IOHIDDeviceSetReport(d, kIOHIDReportTypeOutput, 0, report.data(), 10);
        done = true;
    });
    std::this_thread::sleep_for(50ms);
    Bytes taken;
    const auto takeWhatIsThere = [&] {
        ssize_t n;
        while ((n = ::read(pipeFds[0], drain.data(), drain.size())) > 0)
            taken.insert(taken.end(), drain.begin(), drain.begin() + n);
    };
    while (!done) takeWhatIsThere();
    sender.join();
    takeWhatIsThere();
    EXPECT_EQ(result.load(), kIOReturnSuccess);
    ASSERT_EQ(taken.size(), full.size() + 11);
    EXPECT_EQ(Bytes(taken.end() - 11, taken.end()), (Bytes{0, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3}));
    ::close(pipeFds[0]);
}

TEST_F(HidrawSource, ANodeThatCannotBeOpenedIsSkippedWithOneLine) {
    sysfs.add(FakeDevice{});
    sysfs.add(named("hidraw1", "open"));
    // Someone else's device kept from the user, as a desktop keeps keyboards: skipped without a word.
    FakeDevice keyboard = named("hidraw3", "kbd");
    keyboard.uevent = "HID_ID=0003:0000046D:0000C31C\nHID_NAME=Keyboard\n";
    sysfs.add(keyboard);
    nodes.deny("hidraw0", EACCES);
    nodes.deny("hidraw3", EACCES);
    nodes.make("hidraw1");
    std::string text;
    {
        ktrtest::StderrCapture capture;
        start();
        text = capture.text();
    }
    EXPECT_EQ(ktrplatform::attachedDeviceCount(), 1u);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    for (const std::string& piece : {std::string("/fake-dev/hidraw0"), std::string("4D2A:0061"), std::string("KTR-Q7"),
                                     std::string(std::strerror(EACCES)), std::string("70-ktr-q7.rules"),
                                     std::string("udevadm"), std::string("replug")})
        EXPECT_NE(text.find(piece), std::string::npos) << piece << " in: " << text;

    // Arriving later, and failing for another reason: one line, without the rules.
    sysfs.add(named("hidraw2", "missing"));
    {
        ktrtest::StderrCapture capture;
        feed->add("hidraw2");
        settle();
        text = capture.text();
    }
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_NE(text.find("/fake-dev/hidraw2"), std::string::npos) << text;
    EXPECT_NE(text.find(std::strerror(ENOENT)), std::string::npos) << text;
    EXPECT_EQ(text.find("rules"), std::string::npos) << text;
    EXPECT_EQ(ktrplatform::attachedDeviceCount(), 1u);
}

TEST_F(HidrawSource, SendsFromSeveralThreadsWhileReportsFlowBack) {
    sysfs.add(FakeDevice{});
    const int device = nodes.make("hidraw0");
    start();
    Watcher watcher;
    ASSERT_TRUE(watcher.pumpUntilEvents(1));
    IOHIDDeviceRef d = watcher.device("Q7-0001");

    constexpr int kThreads = 4;
    constexpr int kEach = 50;
    // The device answers every report with its bytes; a report torn or merged shows as bytes that differ.
    std::atomic<int> intact{0};
    std::thread echo([&] {
        for (int i = 0; i < kThreads * kEach; ++i) {
            const auto message = receiveMessage(device);
            if (!message) return;
            if (message->size() == 1025 && (*message)[0] == 0 &&
                std::all_of(message->begin() + 1, message->end(), [&](uint8_t b) { return b == (*message)[1]; }))
                ++intact;
            sendMessage(device, Bytes(message->begin() + 1, message->end()));
        }
    });
    std::atomic<int> failures{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t)
        senders.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                const Bytes report(1024, static_cast<uint8_t>(t * kEach + i));
                if (IOHIDDeviceSetReport(d, kIOHIDReportTypeOutput, 0, report.data(), 1024) != kIOReturnSuccess)
                    ++failures;
            }
        });
    EXPECT_TRUE(watcher.pumpUntilInputs(kThreads * kEach));
    for (auto& s : senders) s.join();
    echo.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(intact.load(), kThreads * kEach);
    std::vector<bool> seen(kThreads * kEach);
    for (const Input& input : watcher.inputs()) {
        ASSERT_EQ(input.length, 1024);
        seen[input.bytes[0]] = true;
        EXPECT_TRUE(
            std::all_of(input.bytes.begin(), input.bytes.end(), [&](uint8_t b) { return b == input.bytes[0]; }));
    }
    EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](bool b) { return b; }));
}

TEST(HidrawMachine, TheMachinesOwnDevicesComeAndGoWithTheSource) {
    EXPECT_FALSE(ktrplatform::systemDevicesEnabled()) << "test processes keep the machine's devices out";
    const size_t before = ktrplatform::attachedDeviceCount();
    {
        hr::SourceOptions options;
        options.monitor = hr::udevMonitor();
        if (options.monitor) {
            EXPECT_GE(options.monitor->fd(), 0);
        }
        ktrtest::StderrCapture quiet;  // for nodes that only root may open
        hr::Source source(std::move(options));
    }
    EXPECT_EQ(ktrplatform::attachedDeviceCount(), before);
}
