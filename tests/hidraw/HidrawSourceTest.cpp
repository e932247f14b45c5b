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

#include "../simulator/Host.h"
#include "FakeHidraw.h"
#include "TestSupport.h"

using namespace hidrawtest;
using namespace std::chrono_literals;
using simtest::numberProperty;
using simtest::textProperty;

namespace {

struct Input {
    std::string device;
    uint32_t reportID;
    Bytes bytes;     // as they stand in the 1024-byte buffer
    CFIndex length;  // as the callback was told
};

// The updater's side of the bus: a manager that takes every device, names it by its serial number
// and records its events on this thread's run loop. The fixture detaches every device and runs
// what they posted before the watcher goes, so nothing calls it afterwards.
class Watcher {
public:
    Watcher() {
        IOHIDManagerSetDeviceMatching(m_manager, nullptr);
        IOHIDManagerRegisterDeviceMatchingCallback(m_manager, &Watcher::onArrival, this);
        IOHIDManagerRegisterDeviceRemovalCallback(m_manager, &Watcher::onRemoval, this);
        IOHIDManagerScheduleWithRunLoop(m_manager, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
    }
    ~Watcher() {
        for (auto& [device, slot] : m_slots) CFRelease(device);
        CFRelease(m_manager);
    }
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

    std::vector<std::string> events;  // "arrival NAME", "removal NAME"
    std::vector<Input> inputs;

    bool pumpUntilEvents(size_t n) {
        return ktrtest::pumpUntil([&] { return events.size() >= n; });
    }
    bool pumpUntilInputs(size_t n) {
        return ktrtest::pumpUntil([&] { return inputs.size() >= n; }, 20s);
    }
    // The device of that name that arrived last; null when none did.
    IOHIDDeviceRef device(const std::string& name) const {
        const auto it = m_latest.find(name);
        return it == m_latest.end() ? nullptr : it->second;
    }
    IOReturn send(const std::string& name, const Bytes& bytes, uint32_t reportID = 0,
                  IOHIDReportType type = kIOHIDReportTypeOutput) const {
        IOHIDDeviceRef d = device(name);
        return d ? IOHIDDeviceSetReport(d, type, reportID, bytes.data(), static_cast<CFIndex>(bytes.size()))
                 : kIOReturnNoDevice;
    }

private:
    struct Slot {
        std::string name;
        uint8_t buffer[1024] = {};
    };

    static void onArrival(void* context, IOReturn, void*, IOHIDDeviceRef device) {
        auto* self = static_cast<Watcher*>(context);
        CFRetain(device);
        auto& slot = self->m_slots[device];
        slot = std::make_unique<Slot>();
        slot->name = textProperty(device, kIOHIDSerialNumberKey);
        IOHIDDeviceRegisterInputReportCallback(device, slot->buffer, sizeof slot->buffer, &Watcher::onInput, self);
        IOHIDDeviceScheduleWithRunLoop(device, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
        self->events.push_back("arrival " + slot->name);
        self->m_latest[slot->name] = device;
    }
    // A device gone before its arrival ran is not announced, but its removal is.
    static void onRemoval(void* context, IOReturn, void*, IOHIDDeviceRef device) {
        auto* self = static_cast<Watcher*>(context);
        const auto it = self->m_slots.find(device);
        if (it != self->m_slots.end()) self->events.push_back("removal " + it->second->name);
    }
    static void onInput(void* context, IOReturn, void* sender, IOHIDReportType, uint32_t reportID, uint8_t* report,
                        CFIndex length) {
        auto* self = static_cast<Watcher*>(context);
        const std::string& name = self->m_slots.at(static_cast<IOHIDDeviceRef>(sender))->name;
        self->inputs.push_back({name, reportID, Bytes(report, report + std::min<CFIndex>(length, 1024)), length});
    }

    IOHIDManagerRef m_manager = IOHIDManagerCreate(nullptr, 0);
    std::map<IOHIDDeviceRef, std::unique_ptr<Slot>> m_slots;  // devices retained
    std::map<std::string, IOHIDDeviceRef> m_latest;
};

// A KTR-Q7 with its own serial number, on a port of its own (port N + 1 of bus 1 for hidrawN).
FakeDevice named(const std::string& name, const std::string& serial) {
    FakeDevice d = FakeDevice{}.at(name, 1, std::to_string(std::stoi(name.substr(6)) + 1));
    d.usbAttributes["serial"] = serial + "\n";
    return d;
}

class HidrawSource : public ::testing::Test, protected FakeMachine {
protected:
    void TearDown() override {
        source.reset();
        ktrtest::pumpFor(10ms);
        EXPECT_EQ(ktrplatform::attachedDeviceCount(), 0u);
    }

    // Devices with nodes, the source over them, and the arrivals heard.
    void startWith(const std::vector<FakeDevice>& devices, std::optional<size_t> arrivals = std::nullopt) {
        for (const FakeDevice& d : devices) {
            sysfs.add(d);
            m_ends[d.name] = nodes.make(d.name);
        }
        start();
        ASSERT_TRUE(watcher.pumpUntilEvents(arrivals.value_or(devices.size())));
    }
    int deviceEnd(const std::string& name) { return m_ends.at(name); }

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

    Watcher watcher;

private:
    std::map<std::string, int> m_ends;
    int m_markers = 100;
};

}  // namespace

TEST_F(HidrawSource, AUsbDeviceShowsItsFactsAsProperties) {
    sysfs.add(FakeDevice{});
    nodes.make("hidraw0");
    start();
    ASSERT_EQ(ktrplatform::attachedDeviceCount(), 1u) << "devices present are attached before the source returns";
    ASSERT_TRUE(watcher.pumpUntilEvents(1));
    IOHIDDeviceRef d = watcher.device("Q7-0001");
    ASSERT_NE(d, nullptr);
    const std::pair<const char*, int64_t> numbers[] = {
        {kIOHIDVendorIDKey, 0x4D2A},         {kIOHIDProductIDKey, 0x61},           {kIOHIDVersionNumberKey, 0x0105},
        {kIOHIDLocationIDKey, 0x14200000},   {kIOHIDPrimaryUsagePageKey, 0xFF00},  {kIOHIDPrimaryUsageKey, 1},
        {kIOHIDMaxInputReportSizeKey, 1024}, {kIOHIDMaxOutputReportSizeKey, 1024}, {kIOHIDMaxFeatureReportSizeKey, 0}};
    for (const auto& [key, value] : numbers) EXPECT_EQ(numberProperty(d, key), value) << key;
    EXPECT_EQ(textProperty(d, kIOHIDManufacturerKey), "KTR");
    EXPECT_EQ(textProperty(d, kIOHIDProductKey), "KTR-Q7");
    EXPECT_EQ(textProperty(d, kIOHIDTransportKey), "USB");
    EXPECT_EQ(CFNumberGetType(static_cast<CFNumberRef>(IOHIDDeviceGetProperty(d, CFSTR(kIOHIDVendorIDKey)))),
              kCFNumberSInt32Type)
        << "numbers are stored as the virtual bus stores them";
}

TEST_F(HidrawSource, LocationIDEncodesTheBusAndThePortPath) {
    const std::pair<unsigned long, const char*> valid[] = {
        {1, "2"}, {1, "2.3"}, {20, "2"}, {3, "1.4.2"}, {255, "15.15.15.15.15.15"}, {1, "1.1.1.1.1.1"}};
    const uint32_t ids[] = {0x01200000, 0x01230000, 0x14200000, 0x03142000, 0xFFFFFFFF, 0x01111111};
    for (size_t i = 0; i < std::size(valid); ++i)
        EXPECT_EQ(hr::usbLocationID(valid[i].first, valid[i].second), ids[i]) << valid[i].second;
    EXPECT_EQ(hr::usbLocationID(0, "1"), std::nullopt);
    EXPECT_EQ(hr::usbLocationID(256, "1"), std::nullopt);
    for (const char* bad : {"", "0", "16", "1.2.3.4.5.6.7", "2.", ".2", "2..3", "a", "-1", " 2"})
        EXPECT_EQ(hr::usbLocationID(1, bad), std::nullopt) << "'" << bad << "'";

    // Through sysfs: distinct ports give distinct IDs; one that does not fit gives none but still attaches.
    startWith({named("hidraw0", "a").at("hidraw0", 1, "2.3"), named("hidraw1", "b").at("hidraw1", 3, "1.4.2"),
               named("hidraw2", "c").at("hidraw2", 1, "2.16"), named("hidraw3", "d").at("hidraw3", 1, "2.4")});
    EXPECT_EQ(numberProperty(watcher.device("a"), kIOHIDLocationIDKey), 0x01230000);
    EXPECT_EQ(numberProperty(watcher.device("b"), kIOHIDLocationIDKey), 0x03142000);
    EXPECT_EQ(numberProperty(watcher.device("c"), kIOHIDLocationIDKey), std::nullopt);
    EXPECT_EQ(numberProperty(watcher.device("d"), kIOHIDLocationIDKey), 0x01240000);

    // A replug into the same port keeps the ID.
    feed->remove("hidraw0");
    nodes.make("hidraw0");
    feed->add("hidraw0");
    ASSERT_TRUE(watcher.pumpUntilEvents(6));
    EXPECT_EQ(watcher.events[4], "removal a");
    EXPECT_EQ(numberProperty(watcher.device("a"), kIOHIDLocationIDKey), 0x01230000);
}

TEST_F(HidrawSource, MissingOrGarbageFactsGiveDefinedDevices) {
    std::vector<FakeDevice> devices;  // first four without a readable HID_ID
    for (const char* uevent :
         {"HID_NAME=x\n", "HID_ID=0003:zz:00000061\n", "HID_ID=0003:00004D2A\n", "HID_ID=0003:100004D2A:00000061\n"}) {
        devices.push_back(named("hidraw" + std::to_string(devices.size()), "no ID"));
        devices.back().uevent = uevent;
    }
    FakeDevice garbage = named("hidraw4", "");
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
    FakeDevice cut = named("hidraw6", "cut");
    cut.descriptor = Bytes{0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x96, 0x00};
    const fs::path fifo = sysfs.add(named("hidraw7", "fifo")) / "uevent";
    fs::remove(fifo);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    nodes.make("hidraw7");
    // Entries that are no hidraw device, or lead nowhere.
    fs::create_directories(fs::path(sysfs.root()) / "class" / "hidraw" / "notraw");
    fs::create_directory_symlink("../../devices/gone", fs::path(sysfs.root()) / "class" / "hidraw" / "hidraw9");
    devices.insert(devices.end(), {garbage, bluetooth, cut});
    startWith(devices, 3);
    EXPECT_EQ(ktrplatform::attachedDeviceCount(), 3u);

    IOHIDDeviceRef g = watcher.device("garbage");
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(numberProperty(g, kIOHIDProductIDKey), 0x62);
    for (const char* absent :
         {kIOHIDVersionNumberKey, kIOHIDLocationIDKey, kIOHIDPrimaryUsagePageKey, kIOHIDMaxInputReportSizeKey})
        EXPECT_EQ(numberProperty(g, absent), std::nullopt) << absent;
    EXPECT_EQ(textProperty(g, kIOHIDManufacturerKey), "\xEF\xBF\xBD\xEF\xBF\xBDK");

    IOHIDDeviceRef b = watcher.device("aa:bb");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(textProperty(b, kIOHIDTransportKey), "Bluetooth");
    EXPECT_EQ(textProperty(b, kIOHIDProductKey), "Pad");
    EXPECT_EQ(textProperty(b, kIOHIDManufacturerKey), "");
    EXPECT_EQ(numberProperty(b, kIOHIDVendorIDKey), 0x46D);
    EXPECT_EQ(numberProperty(b, kIOHIDLocationIDKey), std::nullopt);
    EXPECT_EQ(numberProperty(b, kIOHIDVersionNumberKey), std::nullopt);

    IOHIDDeviceRef c = watcher.device("cut");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(numberProperty(c, kIOHIDPrimaryUsagePageKey), 0xFF00) << "what was read before the cut counts";
    EXPECT_EQ(numberProperty(c, kIOHIDMaxInputReportSizeKey), 0);
}

TEST_F(HidrawSource, HotPlugEventsAttachAndDetachAndAnEndedMonitorLeavesTheDevicesWorking) {
    start();
    // The settling marker may come and go before the watcher hears of it; only the KTR-Q7 counts here.
    const auto events = [&] {
        std::vector<std::string> mine;
        for (const std::string& e : watcher.events)
            if (e.find("Q7-0001") != std::string::npos) mine.push_back(e);
        return mine;
    };
    const auto pumpUntilEvents = [&](size_t n) { return ktrtest::pumpUntil([&] { return events().size() >= n; }); };
    sysfs.add(FakeDevice{});
    nodes.make("hidraw0");
    feed->add("hidraw0");
    ASSERT_TRUE(pumpUntilEvents(1));
    // Repeated, unknown, absent and impossible names change nothing.
    for (const char* name : {"hidraw0", "hidraw8", "../hidraw0", ""}) feed->add(name);
    feed->remove("hidraw42");
    settle();
    EXPECT_EQ(ktrplatform::attachedDeviceCount(), 1u);
    feed->remove("hidraw0");
    ASSERT_TRUE(pumpUntilEvents(2));
    EXPECT_EQ(ktrplatform::attachedDeviceCount(), 0u);
    const int device = nodes.make("hidraw0");
    feed->add("hidraw0");
    ASSERT_TRUE(pumpUntilEvents(3));
    EXPECT_EQ(events(), (std::vector<std::string>{"arrival Q7-0001", "removal Q7-0001", "arrival Q7-0001"}));

    feed->end();
    feed->add("hidraw1");
    // The reader sees the monitor's end at the latest with the first report; the second comes after it.
    for (size_t i = 1; i <= 2; ++i) {
        ASSERT_TRUE(sendMessage(device, Bytes(8, 1)));
        ASSERT_TRUE(watcher.pumpUntilInputs(i));
    }
    EXPECT_EQ(watcher.send("Q7-0001", Bytes(4, 2)), kIOReturnSuccess);
    EXPECT_EQ(receiveMessage(device), (Bytes{0, 2, 2, 2, 2}));
}

TEST_F(HidrawSource, EachReadIsOneReportOfItsOwnLength) {
    FakeDevice small = named("hidraw1", "small");
    small.descriptor = ktrDescriptor(64, 64);
    startWith({FakeDevice{}, small});
    std::vector<Bytes> reports;
    for (size_t size : {64u, 1024u, 1u, 1023u, 64u}) {
        Bytes r(size);
        for (size_t i = 0; i < size; ++i) r[i] = static_cast<uint8_t>(i * 7 + size);
        reports.push_back(r);
        ASSERT_TRUE(sendMessage(deviceEnd("hidraw0"), r));
    }
    // Longer than its descriptor allows: cut to the longest report it declares.
    ASSERT_TRUE(sendMessage(deviceEnd("hidraw1"), Bytes(100, 0xA5)));
    ASSERT_TRUE(watcher.pumpUntilInputs(reports.size() + 1));

    std::vector<Input> big, cut;
    for (const Input& input : watcher.inputs) (input.device == "small" ? cut : big).push_back(input);
    ASSERT_EQ(big.size(), reports.size());
    for (size_t i = 0; i < reports.size(); ++i) {
        EXPECT_EQ(big[i].length, static_cast<CFIndex>(reports[i].size())) << i;
        EXPECT_EQ(big[i].bytes, reports[i]) << i;
        EXPECT_EQ(big[i].reportID, 0u) << i;
    }
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_EQ(cut[0].length, 64);
    EXPECT_EQ(cut[0].bytes, Bytes(64, 0xA5));
}

TEST_F(HidrawSource, ReportsLeadWithTheReportNumberByte) {
    FakeDevice numbered = named("hidraw1", "numbered");
    // Report 2: 8 input bytes; report 5: 3 output bytes and 16 feature bytes.
    numbered.descriptor = Bytes{0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x75, 0x08, 0x85, 0x02, 0x95, 0x08, 0x81,
                                0x02, 0x85, 0x05, 0x95, 0x03, 0x91, 0x02, 0x95, 0x10, 0xB1, 0x02, 0xC0};
    startWith({FakeDevice{}, numbered});
    const int plain = deviceEnd("hidraw0"), device = deviceEnd("hidraw1");
    IOHIDDeviceRef d = watcher.device("numbered");
    const std::pair<const char*, int64_t> sizes[] = {{kIOHIDPrimaryUsagePageKey, 1},
                                                     {kIOHIDPrimaryUsageKey, 6},
                                                     {kIOHIDMaxInputReportSizeKey, 9},
                                                     {kIOHIDMaxOutputReportSizeKey, 4},
                                                     {kIOHIDMaxFeatureReportSizeKey, 17}};
    for (const auto& [key, value] : sizes) EXPECT_EQ(numberProperty(d, key), value) << key;

    const Bytes report{2, 10, 11, 12, 13, 14, 15, 16, 17};
    ASSERT_TRUE(sendMessage(device, report));
    ASSERT_TRUE(watcher.pumpUntilInputs(1));
    EXPECT_EQ(watcher.inputs[0].reportID, 2u);
    EXPECT_EQ(watcher.inputs[0].bytes, report) << "delivered as read, the ID byte first";
    EXPECT_EQ(watcher.send("numbered", {7, 8, 9}, 5), kIOReturnSuccess);
    EXPECT_EQ(receiveMessage(device), (Bytes{5, 7, 8, 9}));

    // Unnumbered: report number 0 before the bytes.
    Bytes request(1024);
    for (size_t i = 0; i < request.size(); ++i) request[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(watcher.send("Q7-0001", request), kIOReturnSuccess);
    request.insert(request.begin(), 0);
    EXPECT_EQ(receiveMessage(plain), request);
    // Only output reports go out; what cannot be sent never reaches the node.
    EXPECT_EQ(watcher.send("Q7-0001", {1, 2}, 0, kIOHIDReportTypeFeature), kIOReturnUnsupported);
    EXPECT_EQ(watcher.send("Q7-0001", Bytes(16384, 1)), kIOReturnBadArgument);
    EXPECT_EQ(watcher.send("Q7-0001", {0xF2}), kIOReturnSuccess);
    EXPECT_EQ(receiveMessage(plain), (Bytes{0, 0xF2}));
}

TEST_F(HidrawSource, SendsFailOnceTheDeviceHasGone) {
    startWith({FakeDevice{}, named("hidraw1", "second"), named("hidraw2", "third")});
    // The device stops taking reports before anything else shows it: the send fails, and so does the next.
    ASSERT_EQ(::shutdown(deviceEnd("hidraw0"), SHUT_RD), 0);
    EXPECT_EQ(watcher.send("Q7-0001", Bytes(1024, 1)), kIOReturnNoDevice);
    EXPECT_EQ(watcher.send("Q7-0001", Bytes(1024, 1)), kIOReturnNoDevice);

    // Unplugged, noticed through the node: a report sent just before still arrives, then the device leaves.
    ASSERT_TRUE(sendMessage(deviceEnd("hidraw1"), Bytes(64, 0x5A)));
    nodes.unplug(deviceEnd("hidraw1"));
    ASSERT_TRUE(watcher.pumpUntilEvents(4));
    EXPECT_EQ(watcher.events[3], "removal second");
    ASSERT_EQ(watcher.inputs.size(), 1u);
    EXPECT_EQ(watcher.inputs[0].length, 64);
    EXPECT_EQ(watcher.send("second", Bytes(1024, 1)), kIOReturnNoDevice);

    // Unplugged, told by the monitor.
    feed->remove("hidraw2");
    ASSERT_TRUE(watcher.pumpUntilEvents(5));
    EXPECT_EQ(watcher.events[4], "removal third");
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
    ASSERT_TRUE(watcher.pumpUntilEvents(1));
    Bytes taken, chunk(65536);
    const auto takeWhatIsThere = [&] {
        ssize_t n;
        while ((n = ::read(pipeFds[0], chunk.data(), chunk.size())) > 0)
            taken.insert(taken.end(), chunk.begin(), chunk.begin() + n);
    };
    const Bytes fill(static_cast<size_t>(capacity) - 1000, 0xEE);
    ASSERT_EQ(::write(pipeFds[1], fill.data(), fill.size()), static_cast<ssize_t>(fill.size()));
    EXPECT_EQ(watcher.send("Q7-0001", Bytes(5000, 1)), kIOReturnError);

    // Full: the sender waits until there is room again.
    takeWhatIsThere();
    taken.clear();
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
    ktrtest::StderrCapture capture;
    start();
    std::string text = capture.text();
    EXPECT_EQ(ktrplatform::attachedDeviceCount(), 1u);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    for (const std::string& piece : {std::string("/fake-dev/hidraw0"), std::string("4D2A:0061"), std::string("KTR-Q7"),
                                     std::string(std::strerror(EACCES)), std::string("70-ktr-q7.rules"),
                                     std::string("udevadm"), std::string("replug")})
        EXPECT_NE(text.find(piece), std::string::npos) << piece << " in: " << text;

    // Arriving later, and failing for another reason: one line, without the rules.
    sysfs.add(named("hidraw2", "missing"));
    ktrtest::StderrCapture later;
    feed->add("hidraw2");
    settle();
    text = later.text();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_NE(text.find("/fake-dev/hidraw2"), std::string::npos) << text;
    EXPECT_NE(text.find(std::strerror(ENOENT)), std::string::npos) << text;
    EXPECT_EQ(text.find("rules"), std::string::npos) << text;
    EXPECT_EQ(ktrplatform::attachedDeviceCount(), 1u);
}

TEST_F(HidrawSource, SendsFromSeveralThreadsWhileReportsFlowBack) {
    startWith({FakeDevice{}});
    const int device = deviceEnd("hidraw0");
    IOHIDDeviceRef d = watcher.device("Q7-0001");
    constexpr int kThreads = 4, kEach = 50;
    // The device answers every report with its bytes; a report torn or merged shows as bytes that differ.
    const auto uniform = [](const Bytes& b, size_t from) {
        return std::all_of(b.begin() + from, b.end(), [&](uint8_t x) { return x == b[from]; });
    };
    std::atomic<int> intact{0};
    std::thread echo([&] {
        for (int i = 0; i < kThreads * kEach; ++i) {
            const auto message = receiveMessage(device);
            if (!message) return;
            if (message->size() == 1025 && (*message)[0] == 0 && uniform(*message, 1)) ++intact;
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
    for (const Input& input : watcher.inputs) {
        ASSERT_EQ(input.length, 1024);
        seen[input.bytes[0]] = true;
        EXPECT_TRUE(uniform(input.bytes, 0));
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), true), kThreads * kEach);
}

TEST(HidrawMachine, TheMachinesOwnDevicesComeAndGoWithTheSource) {
    EXPECT_FALSE(ktrplatform::systemDevicesEnabled()) << "test processes keep the machine's devices out";
    const size_t before = ktrplatform::attachedDeviceCount();
    {
        hr::SourceOptions options;
        options.monitor = hr::udevMonitor();
        EXPECT_TRUE(!options.monitor || options.monitor->fd() >= 0);
        ktrtest::StderrCapture quiet;  // for nodes that only root may open
        hr::Source source(std::move(options));
    }
    EXPECT_EQ(ktrplatform::attachedDeviceCount(), before);
}
