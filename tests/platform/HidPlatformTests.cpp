// The stand-in HID manager as the device code relies on it: matching,
// announcements, removal, input reports into the caller's buffer, synchronous
// output reports, and callbacks only on the run loop an object is scheduled on.
#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/hid/IOHIDLib.h>
#include <gtest/gtest.h>
#include <ktrplatform/DeviceRegistry.h>
#include <ktrplatform/PlatformFaults.h>
#include <ktrplatform/RunLoopHook.h>
#include <ktrplatform/VirtualHidBus.h>
#include <poll.h>

#include <atomic>
#include <thread>
#include <vector>

#include "TestSupport.h"

using ktrplatform::VirtualDevice;
using ktrplatform::VirtualDeviceInfo;
using ktrtest::pumpFor;
using ktrtest::pumpUntil;
using namespace std::chrono_literals;

namespace {

VirtualDeviceInfo info(int64_t vendor, int64_t product, int64_t location, int64_t usagePage = 0xFF00) {
    VirtualDeviceInfo i;
    i.vendorID = vendor;
    i.productID = product;
    i.versionNumber = 0x0123;
    i.locationID = location;
    i.primaryUsagePage = usagePage;
    i.primaryUsage = 1;
    return i;
}

struct Announcements {
    std::vector<IOHIDDeviceRef> arrived;
    std::vector<IOHIDDeviceRef> removed;
    std::thread::id thread;
};

void onMatch(void* context, IOReturn, void*, IOHIDDeviceRef device) {
    auto* a = static_cast<Announcements*>(context);
    a->arrived.push_back(device);
    a->thread = std::this_thread::get_id();
}

void onManagerRemoval(void* context, IOReturn, void*, IOHIDDeviceRef device) {
    static_cast<Announcements*>(context)->removed.push_back(device);
}

CFDictionaryRef usagePageMatch(int32_t page) {
    CFMutableDictionaryRef d =
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFNumberRef n = CFNumberCreate(nullptr, kCFNumberIntType, &page);
    CFDictionarySetValue(d, CFSTR(kIOHIDPrimaryUsagePageKey), n);
    CFRelease(n);
    return d;
}

long numberProperty(IOHIDDeviceRef device, const char* key) {
    CFStringRef k = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
    CFTypeRef v = IOHIDDeviceGetProperty(device, k);
    CFRelease(k);
    SInt32 out = 0;
    if (!v || CFGetTypeID(v) != CFNumberGetTypeID()) return -999;
    CFNumberGetValue(static_cast<CFNumberRef>(v), kCFNumberSInt32Type, &out);
    return static_cast<uint32_t>(out);
}

class HidPlatform : public ::testing::Test {
protected:
    void TearDown() override {
        devices.clear();
        pumpFor(10ms);
        EXPECT_EQ(ktrplatform::attachedDeviceCount(), 0u);
    }
    std::shared_ptr<VirtualDevice> plug(const VirtualDeviceInfo& i) {
        auto d = VirtualDevice::create(i);
        d->attach();
        devices.push_back(d);
        return d;
    }
    std::vector<std::shared_ptr<VirtualDevice>> devices;
};

}  // namespace

TEST_F(HidPlatform, MatchingSelectsByEveryEntryAndNullMatchesAll) {
    plug(info(0x4D2A, 0x61, 1, 0xFF00));
    plug(info(0x1234, 0x01, 2, 0x0001));
    IOHIDManagerRef manager = IOHIDManagerCreate(kCFAllocatorDefault, 0);
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(CFGetTypeID(manager), IOHIDManagerGetTypeID());

    IOHIDManagerSetDeviceMatching(manager, nullptr);
    CFSetRef all = IOHIDManagerCopyDevices(manager);
    EXPECT_EQ(CFSetGetCount(all), 2);
    CFRelease(all);

    CFDictionaryRef page1 = usagePageMatch(1);
    IOHIDManagerSetDeviceMatching(manager, page1);
    CFSetRef some = IOHIDManagerCopyDevices(manager);
    ASSERT_EQ(CFSetGetCount(some), 1);
    const void* only = nullptr;
    CFSetGetValues(some, &only);
    EXPECT_EQ(numberProperty((IOHIDDeviceRef)only, kIOHIDVendorIDKey), 0x1234);
    CFRelease(some);

    // An empty dictionary carries no condition.
    CFMutableDictionaryRef empty =
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    const void* dicts[] = {page1, empty};
    CFArrayRef multiple = CFArrayCreate(nullptr, dicts, 2, &kCFTypeArrayCallBacks);
    IOHIDManagerSetDeviceMatchingMultiple(manager, multiple);
    CFSetRef both = IOHIDManagerCopyDevices(manager);
    EXPECT_EQ(CFSetGetCount(both), 2);
    CFRelease(both);
    CFRelease(multiple);
    CFRelease(empty);
    CFRelease(page1);
    CFRelease(manager);
}

TEST_F(HidPlatform, NumbersKeepTheirBitsAsSigned32) {
    auto d = plug(info(-1, 0x61, 0x80000000LL));
    EXPECT_EQ(numberProperty(d->ref(), kIOHIDVendorIDKey), 4294967295L);
    EXPECT_EQ(numberProperty(d->ref(), kIOHIDLocationIDKey), 2147483648L);
    VirtualDeviceInfo noLocation = info(1, 2, 0);
    noLocation.locationID.reset();
    auto e = plug(noLocation);
    EXPECT_EQ(IOHIDDeviceGetProperty(e->ref(), CFSTR(kIOHIDLocationIDKey)), nullptr);
}

TEST_F(HidPlatform, PresentDevicesAreAnnouncedOnceAndArrivalsOnTheScheduledLoop) {
    plug(info(0x4D2A, 0x61, 1));
    IOHIDManagerRef manager = IOHIDManagerCreate(kCFAllocatorDefault, 0);
    Announcements a;
    IOHIDManagerRegisterDeviceMatchingCallback(manager, onMatch, &a);
    pumpFor(20ms);
    EXPECT_TRUE(a.arrived.empty()) << "nothing runs before the manager is scheduled";

    IOHIDManagerScheduleWithRunLoop(manager, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
    IOHIDManagerScheduleWithRunLoop(manager, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
    ASSERT_TRUE(pumpUntil([&] { return a.arrived.size() == 1; }));
    EXPECT_EQ(a.thread, std::this_thread::get_id());

    // An arrival from another thread is delivered on this thread's loop.
    std::thread([&] { plug(info(0x4D2A, 0x62, 2)); }).join();
    ASSERT_TRUE(pumpUntil([&] { return a.arrived.size() == 2; }));
    EXPECT_EQ(a.thread, std::this_thread::get_id());
    pumpFor(20ms);
    EXPECT_EQ(a.arrived.size(), 2u);

    IOHIDManagerRegisterDeviceMatchingCallback(manager, nullptr, nullptr);
    plug(info(0x4D2A, 0x63, 3));
    pumpFor(20ms);
    EXPECT_EQ(a.arrived.size(), 2u);
    CFRelease(manager);
}

TEST_F(HidPlatform, AnArrivalGoneBeforeItsCallbackRunsIsNotAnnounced) {
    IOHIDManagerRef manager = IOHIDManagerCreate(kCFAllocatorDefault, 0);
    Announcements a;
    IOHIDManagerRegisterDeviceMatchingCallback(manager, onMatch, &a);
    IOHIDManagerRegisterDeviceRemovalCallback(manager, onManagerRemoval, &a);
    IOHIDManagerScheduleWithRunLoop(manager, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
    auto d = plug(info(0x4D2A, 0x61, 1));
    d->detach();
    pumpFor(30ms);
    EXPECT_TRUE(a.arrived.empty());
    EXPECT_EQ(a.removed.size(), 1u);
    CFRelease(manager);
}

namespace {
struct DeviceEvents {
    int removals = 0;
    std::vector<CFIndex> lengths;
    std::vector<uint8_t> firstBytes;
    void* lastSender = nullptr;
};
void onRemoval(void* context, IOReturn, void* sender) {
    auto* e = static_cast<DeviceEvents*>(context);
    ++e->removals;
    e->lastSender = sender;
}
void onReport(void* context, IOReturn, void*, IOHIDReportType, uint32_t, uint8_t* report, CFIndex length) {
    auto* e = static_cast<DeviceEvents*>(context);
    e->lengths.push_back(length);
    e->firstBytes.push_back(report[0]);
}
}  // namespace

TEST_F(HidPlatform, InputReportsAreWrittenIntoTheBufferCappedAtItsSize) {
    auto d = plug(info(0x4D2A, 0x61, 1));
    IOHIDDeviceRef ref = d->ref();
    std::vector<uint8_t> buffer(1024 + 16, 0xEE);
    DeviceEvents e;
    IOHIDDeviceRegisterInputReportCallback(ref, buffer.data(), 1024, onReport, &e);
    d->sendInput(std::vector<uint8_t>{1, 2});
    pumpFor(20ms);
    EXPECT_TRUE(e.lengths.empty()) << "an unscheduled device delivers nothing";

    IOHIDDeviceScheduleWithRunLoop(ref, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
    std::vector<uint8_t> big(2000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
    d->sendInput(big);
    d->sendInput(std::vector<uint8_t>{0xAB, 0xCD});
    ASSERT_TRUE(pumpUntil([&] { return e.lengths.size() == 2; }));
    EXPECT_EQ(e.lengths[0], 2000) << "the report's own length is passed on";
    EXPECT_EQ(e.lengths[1], 2);
    EXPECT_EQ(e.firstBytes[0], big[0]);
    EXPECT_EQ(buffer[0], 0xAB);
    EXPECT_EQ(buffer[2], big[2]) << "bytes past a short report keep what they held";
    EXPECT_EQ(buffer[1023], big[1023]);
    EXPECT_EQ(buffer[1024], 0xEE) << "nothing is written past the registered size";

    IOHIDDeviceRegisterInputReportCallback(ref, buffer.data(), 1024, nullptr, nullptr);
    d->sendInput(std::vector<uint8_t>{9});
    pumpFor(20ms);
    EXPECT_EQ(e.lengths.size(), 2u);
    EXPECT_EQ(buffer[0], 0xAB);
}

TEST_F(HidPlatform, RemovalRunsOnceAndAfterPendingReports) {
    auto d = plug(info(0x4D2A, 0x61, 1));
    IOHIDDeviceRef ref = d->ref();
    CFRetain(ref);
    uint8_t buffer[64] = {};
    DeviceEvents e;
    IOHIDDeviceRegisterRemovalCallback(ref, onRemoval, &e);
    IOHIDDeviceRegisterInputReportCallback(ref, buffer, sizeof buffer, onReport, &e);
    IOHIDDeviceScheduleWithRunLoop(ref, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
    d->sendInput(std::vector<uint8_t>{5});
    d->detach();
    d->detach();
    ASSERT_TRUE(pumpUntil([&] { return e.removals == 1; }));
    EXPECT_EQ(e.lengths.size(), 1u) << "a report sent before the removal still arrives, first";
    EXPECT_EQ(e.lastSender, ref);
    pumpFor(20ms);
    EXPECT_EQ(e.removals, 1);

    const uint8_t report[4] = {1, 2, 3, 4};
    EXPECT_EQ(IOHIDDeviceSetReport(ref, kIOHIDReportTypeOutput, 0, report, 4), kIOReturnNoDevice);
    CFRelease(ref);

    // A replug is a new device object.
    d->attach();
    EXPECT_NE(d->ref(), nullptr);
}

TEST_F(HidPlatform, OutputReportsReachTheDeviceByteForByte) {
    auto d = plug(info(0x4D2A, 0x61, 1));
    std::vector<uint8_t> report(1024);
    for (size_t i = 0; i < report.size(); ++i) report[i] = static_cast<uint8_t>(255 - i % 251);
    EXPECT_EQ(IOHIDDeviceSetReport(d->ref(), kIOHIDReportTypeOutput, 0, report.data(), 1024), kIOReturnSuccess);
    auto sent = d->outputReports();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].type, kIOHIDReportTypeOutput);
    EXPECT_EQ(sent[0].reportID, 0u);
    EXPECT_EQ(sent[0].bytes, report);

    EXPECT_EQ(IOHIDDeviceSetReport(d->ref(), kIOHIDReportTypeOutput, 0, nullptr, 4), kIOReturnBadArgument);
    EXPECT_EQ(IOHIDDeviceSetReport(d->ref(), kIOHIDReportTypeOutput, 0, report.data(), 0), kIOReturnBadArgument);
    EXPECT_EQ(IOHIDDeviceSetReport(nullptr, kIOHIDReportTypeOutput, 0, report.data(), 4), kIOReturnBadArgument);
    d->failSends(kIOReturnNotPermitted);
    EXPECT_EQ(IOHIDDeviceSetReport(d->ref(), kIOHIDReportTypeOutput, 0, report.data(), 4), kIOReturnNotPermitted);
    d->failSends(kIOReturnSuccess);
    EXPECT_EQ(IOHIDDeviceSetReport(d->ref(), kIOHIDReportTypeOutput, 0, report.data(), 4), kIOReturnSuccess);
    EXPECT_EQ(d->outputReports().size(), 2u);
}

TEST_F(HidPlatform, ManagerFaultsCanBeProvoked) {
    ktrplatform::failNextHIDManagerCreate();
    EXPECT_EQ(IOHIDManagerCreate(kCFAllocatorDefault, 0), nullptr);
    IOHIDManagerRef manager = IOHIDManagerCreate(kCFAllocatorDefault, 0);
    ASSERT_NE(manager, nullptr);
    ktrplatform::failNextHIDManagerOpen();
    EXPECT_EQ(IOHIDManagerOpen(manager, 0), kIOReturnError);
    EXPECT_EQ(IOHIDManagerOpen(manager, 0), kIOReturnSuccess);
    CFRelease(manager);
}

TEST(RunLoop, EachThreadHasItsOwnAndStopEndsARun) {
    CFRunLoopRef main = CFRunLoopGetCurrent();
    EXPECT_EQ(main, CFRunLoopGetMain());
    EXPECT_EQ(CFGetTypeID(main), CFRunLoopGetTypeID());
    CFRunLoopRef other = nullptr;
    std::thread([&] {
        other = CFRunLoopGetCurrent();
        EXPECT_EQ(other, CFRunLoopGetCurrent());
        EXPECT_EQ(CFRunLoopGetMain(), main);
    }).join();
    EXPECT_NE(other, main);
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.01, true), kCFRunLoopRunTimedOut);
    std::thread([&] {
        std::this_thread::sleep_for(20ms);
        CFRunLoopStop(main);
    }).join();
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 30, false), kCFRunLoopRunStopped);
}

TEST_F(HidPlatform, WakeDescriptorSignalsPendingWorkWithoutPolling) {
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    const int fd = KTRRunLoopGetWakeDescriptor(loop);
    ASSERT_GE(fd, 0);
    KTRRunLoopPerformPending(loop);
    pollfd p{fd, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0) << "idle loop: descriptor not readable";

    auto d = plug(info(0x4D2A, 0x61, 1));
    uint8_t buffer[8] = {};
    DeviceEvents e;
    IOHIDDeviceRegisterInputReportCallback(d->ref(), buffer, sizeof buffer, onReport, &e);
    IOHIDDeviceScheduleWithRunLoop(d->ref(), loop, kCFRunLoopDefaultMode);
    std::thread([&] { d->sendInput(std::vector<uint8_t>{7}); }).join();
    EXPECT_EQ(poll(&p, 1, 1000), 1);
    KTRRunLoopPerformPending(loop);
    EXPECT_EQ(e.lengths.size(), 1u);
    EXPECT_EQ(poll(&p, 1, 0), 0);
}

TEST_F(HidPlatform, ConcurrentSendsAndUnplugsNeverTouchAFreedDevice) {
    auto d = plug(info(0x4D2A, 0x61, 1));
    std::atomic<bool> done{false};
    std::atomic<int> ok{0}, failed{0};
    IOHIDDeviceRef held = d->ref();
    CFRetain(held);
    std::thread sender([&] {
        const uint8_t report[16] = {0xF3};
        while (!done) {
            IOReturn r = IOHIDDeviceSetReport(held, kIOHIDReportTypeOutput, 0, report, sizeof report);
            (r == kIOReturnSuccess ? ok : failed)++;
        }
    });
    while (ok == 0) std::this_thread::yield();
    for (int i = 0; i < 200; ++i) {
        d->detach();
        d->attach();
    }
    while (failed == 0) std::this_thread::yield();
    done = true;
    sender.join();
    EXPECT_GT(ok.load(), 0);
    EXPECT_GT(failed.load(), 0) << "the first device object is gone after the first unplug";
    CFRelease(held);
}
