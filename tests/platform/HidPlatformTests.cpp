// The stand-in HID manager as the device code relies on it: matching, announcements, removal,
// input reports into the caller's buffer, synchronous output reports, callbacks only on the run
// loop an object is scheduled on, and service lookup of the attached devices.
#include <IOKit/IOKitLib.h>
#include <ktrplatform/PlatformFaults.h>
#include <ktrplatform/RunLoopHook.h>
#include <poll.h>

#include <thread>

#include "PlatformTest.h"

using namespace platformtest;
using ktrtest::pumpFor;
using ktrtest::pumpUntil;
using namespace std::chrono_literals;

namespace {

struct Events {
    std::vector<IOHIDDeviceRef> arrived, removed;
    std::thread::id thread;
    int removals = 0;
    void* lastSender = nullptr;
    std::vector<CFIndex> lengths;
    std::vector<uint8_t> firstBytes;
};

void onMatch(void* context, IOReturn, void*, IOHIDDeviceRef device) {
    auto* e = static_cast<Events*>(context);
    e->arrived.push_back(device);
    e->thread = std::this_thread::get_id();
}
void onManagerRemoval(void* context, IOReturn, void*, IOHIDDeviceRef device) {
    static_cast<Events*>(context)->removed.push_back(device);
}
void onRemoval(void* context, IOReturn, void* sender) {
    auto* e = static_cast<Events*>(context);
    ++e->removals;
    e->lastSender = sender;
}
void onReport(void* context, IOReturn, void*, IOHIDReportType, uint32_t, uint8_t* report, CFIndex length) {
    auto* e = static_cast<Events*>(context);
    e->lengths.push_back(length);
    e->firstBytes.push_back(report[0]);
}

long numberProperty(IOHIDDeviceRef device, const char* key) {
    CFTypeRef v = IOHIDDeviceGetProperty(device, own(str(key)).get());
    SInt32 out = 0;
    if (!v || CFGetTypeID(v) != CFNumberGetTypeID()) return -999;
    CFNumberGetValue(static_cast<CFNumberRef>(v), kCFNumberSInt32Type, &out);
    return static_cast<uint32_t>(out);
}

CFIndex countOf(const Owned<CFSetRef>& set) { return set ? CFSetGetCount(set.get()) : -1; }

// A matching dictionary for the class with the device's own "LocationID" object, as a caller that
// has the device in hand makes it.
CFMutableDictionaryRef byLocationOf(IOHIDDeviceRef device, const char* className = "IOHIDDevice") {
    CFMutableDictionaryRef matching = IOServiceMatching(className);
    CFDictionaryAddValue(matching, CFSTR(kIOHIDLocationIDKey),
                         IOHIDDeviceGetProperty(device, CFSTR(kIOHIDLocationIDKey)));
    return matching;
}

CFMutableDictionaryRef serviceMatching(const char* key, int32_t value) {
    CFMutableDictionaryRef matching = IOServiceMatching("IOHIDDevice");
    CFDictionarySetValue(matching, own(str(key)).get(),
                         own(CFNumberCreate(nullptr, kCFNumberSInt32Type, &value)).get());
    return matching;
}

}  // namespace

using HidPlatform = Bus;

TEST_F(HidPlatform, MatchingSelectsByEveryEntryNullMatchesAllAndNumbersKeepTheirBits) {
    plug(deviceInfo(0x4D2A, 0x61, 1, 0xFF00));
    plug(deviceInfo(0x1234, 0x01, 2, 0x0001));
    auto manager = own(IOHIDManagerCreate(kCFAllocatorDefault, 0));
    ASSERT_NE(manager, nullptr);
    IOHIDManagerSetDeviceMatching(manager.get(), nullptr);
    EXPECT_EQ(countOf(own(IOHIDManagerCopyDevices(manager.get()))), 2);

    auto page1 = own(numbers({{kIOHIDPrimaryUsagePageKey, 1}}));
    IOHIDManagerSetDeviceMatching(manager.get(), page1.get());
    auto some = own(IOHIDManagerCopyDevices(manager.get()));
    ASSERT_EQ(countOf(some), 1);
    const void* only = nullptr;
    CFSetGetValues(some.get(), &only);
    EXPECT_EQ(numberProperty((IOHIDDeviceRef)only, kIOHIDVendorIDKey), 0x1234);
    // An empty dictionary carries no condition.
    auto empty = own(numbers({}));
    const void* dicts[] = {page1.get(), empty.get()};
    IOHIDManagerSetDeviceMatchingMultiple(manager.get(),
                                          own(CFArrayCreate(nullptr, dicts, 2, &kCFTypeArrayCallBacks)).get());
    EXPECT_EQ(countOf(own(IOHIDManagerCopyDevices(manager.get()))), 2);

    // Numbers keep their 32 bits, whatever sign they were given with; a missing one is absent.
    auto d = plug(deviceInfo(-1, 0x61, 0x80000000LL));
    EXPECT_EQ(numberProperty(d->ref(), kIOHIDVendorIDKey), 4294967295L);
    EXPECT_EQ(numberProperty(d->ref(), kIOHIDLocationIDKey), 2147483648L);
    EXPECT_EQ(CFNumberGetType((CFNumberRef)IOHIDDeviceGetProperty(d->ref(), CFSTR(kIOHIDLocationIDKey))),
              kCFNumberSInt32Type);
    EXPECT_EQ(IOHIDDeviceGetProperty(plug(deviceInfo(1, 2, std::nullopt))->ref(), CFSTR(kIOHIDLocationIDKey)), nullptr);
}

TEST_F(HidPlatform, PresentDevicesAreAnnouncedOnceAndArrivalsOnTheScheduledLoop) {
    plug(deviceInfo(0x4D2A, 0x61, 1));
    auto manager = own(IOHIDManagerCreate(kCFAllocatorDefault, 0));
    Events a;
    IOHIDManagerRegisterDeviceMatchingCallback(manager.get(), onMatch, &a);
    pumpFor(20ms);
    EXPECT_TRUE(a.arrived.empty()) << "nothing runs before the manager is scheduled";

    IOHIDManagerScheduleWithRunLoop(manager.get(), CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
    IOHIDManagerScheduleWithRunLoop(manager.get(), CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
    ASSERT_TRUE(pumpUntil([&] { return a.arrived.size() == 1; }));
    EXPECT_EQ(a.thread, std::this_thread::get_id());
    // An arrival from another thread is delivered on this thread's loop, once.
    std::thread([&] { plug(deviceInfo(0x4D2A, 0x62, 2)); }).join();
    ASSERT_TRUE(pumpUntil([&] { return a.arrived.size() == 2; }));
    EXPECT_EQ(a.thread, std::this_thread::get_id());
    pumpFor(20ms);
    EXPECT_EQ(a.arrived.size(), 2u);

    IOHIDManagerRegisterDeviceMatchingCallback(manager.get(), nullptr, nullptr);
    plug(deviceInfo(0x4D2A, 0x63, 3));
    pumpFor(20ms);
    EXPECT_EQ(a.arrived.size(), 2u);
}

TEST_F(HidPlatform, AnArrivalGoneBeforeItsCallbackRunsIsNotAnnounced) {
    auto manager = own(IOHIDManagerCreate(kCFAllocatorDefault, 0));
    Events a;
    IOHIDManagerRegisterDeviceMatchingCallback(manager.get(), onMatch, &a);
    IOHIDManagerRegisterDeviceRemovalCallback(manager.get(), onManagerRemoval, &a);
    IOHIDManagerScheduleWithRunLoop(manager.get(), CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
    plug(deviceInfo(0x4D2A, 0x61, 1))->detach();
    pumpFor(30ms);
    EXPECT_TRUE(a.arrived.empty());
    EXPECT_EQ(a.removed.size(), 1u);
}

TEST_F(HidPlatform, InputReportsAreWrittenIntoTheBufferCappedAtItsSize) {
    auto d = plug(deviceInfo(0x4D2A, 0x61, 1));
    IOHIDDeviceRef ref = d->ref();
    std::vector<uint8_t> buffer(1024 + 16, 0xEE);
    Events e;
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
    EXPECT_EQ(e.lengths, (std::vector<CFIndex>{2000, 2})) << "the report's own length is passed on";
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

TEST_F(HidPlatform, RemovalRunsOnceAfterPendingReportsAndSendsThenFail) {
    auto d = plug(deviceInfo(0x4D2A, 0x61, 1));
    IOHIDDeviceRef ref = d->ref();
    CFRetain(ref);
    uint8_t buffer[64] = {};
    Events e;
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
}

TEST_F(HidPlatform, BadOutputReportsAndProvokedManagerFaultsFail) {
    auto d = plug(deviceInfo(0x4D2A, 0x61, 1));
    const uint8_t report[4] = {1, 2, 3, 4};
    EXPECT_EQ(IOHIDDeviceSetReport(d->ref(), kIOHIDReportTypeOutput, 0, nullptr, 4), kIOReturnBadArgument);
    EXPECT_EQ(IOHIDDeviceSetReport(d->ref(), kIOHIDReportTypeOutput, 0, report, 0), kIOReturnBadArgument);
    EXPECT_EQ(IOHIDDeviceSetReport(d->ref(), kIOHIDReportTypeOutput, 256, report, 4), kIOReturnBadArgument);
    EXPECT_EQ(IOHIDDeviceSetReport(nullptr, kIOHIDReportTypeOutput, 0, report, 4), kIOReturnBadArgument);
    EXPECT_TRUE(d->outputReports().empty());

    // Provoked manager faults hit the next call only.
    ktrplatform::failNextHIDManagerCreate();
    EXPECT_EQ(IOHIDManagerCreate(kCFAllocatorDefault, 0), nullptr);
    auto manager = own(IOHIDManagerCreate(kCFAllocatorDefault, 0));
    ASSERT_NE(manager, nullptr);
    ktrplatform::failNextHIDManagerOpen();
    EXPECT_EQ(IOHIDManagerOpen(manager.get(), 0), kIOReturnError);
    EXPECT_EQ(IOHIDManagerOpen(manager.get(), 0), kIOReturnSuccess);
}

TEST(RunLoop, EachThreadHasItsOwnAndStopEndsARun) {
    CFRunLoopRef main = CFRunLoopGetCurrent();
    EXPECT_EQ(main, CFRunLoopGetMain());
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

    auto d = plug(deviceInfo(0x4D2A, 0x61, 1));
    uint8_t buffer[8] = {};
    Events e;
    IOHIDDeviceRegisterInputReportCallback(d->ref(), buffer, sizeof buffer, onReport, &e);
    IOHIDDeviceScheduleWithRunLoop(d->ref(), loop, kCFRunLoopDefaultMode);
    std::thread([&] { d->sendInput(std::vector<uint8_t>{7}); }).join();
    EXPECT_EQ(poll(&p, 1, 1000), 1);
    KTRRunLoopPerformPending(loop);
    EXPECT_EQ(e.lengths.size(), 1u);
    EXPECT_EQ(poll(&p, 1, 0), 0);
}

TEST_F(HidPlatform, ServiceLookupConsumesTheDictionaryWhateverTheOutcome) {
    auto d = plug(deviceInfo(0x2222, 0x61, 7));
    const auto lookUp = [](CFMutableDictionaryRef matching) {
        CFRetain(matching);
        const io_service_t service = IOServiceGetMatchingService(kIOMasterPortDefault, matching);
        EXPECT_EQ(CFGetRetainCount(matching), 1);
        CFRelease(matching);
        return service;
    };
    const io_service_t service = lookUp(byLocationOf(d->ref()));
    EXPECT_NE(service, 0u);
    EXPECT_EQ(lookUp(serviceMatching("VendorID", 0x2222)), service) << "found by any property";
    EXPECT_EQ(IOObjectRelease(service), kIOReturnSuccess);
    EXPECT_EQ(lookUp(serviceMatching("LocationID", 8)), 0u);
    EXPECT_EQ(lookUp(byLocationOf(d->ref(), "IOUSBDevice")), 0u) << "another class matches nothing here";
    // Something that is no dictionary is still given back, and matches nothing.
    EXPECT_EQ(IOServiceGetMatchingService(kIOMasterPortDefault, (CFDictionaryRef)str("IOHIDDevice")), 0u);
    EXPECT_EQ(IOServiceGetMatchingService(kIOMasterPortDefault, nullptr), 0u);
    EXPECT_EQ(IOServiceMatching(nullptr), nullptr);
    EXPECT_NE(IOObjectRelease(0), kIOReturnSuccess);
    EXPECT_NE(IOObjectRelease(0xDEADBEEF), kIOReturnSuccess);

    // A handle outlives its device's departure, but a departed device is not found.
    CFMutableDictionaryRef matching = byLocationOf(d->ref());
    d->detach();
    EXPECT_EQ(IOServiceGetMatchingService(kIOMasterPortDefault, matching), 0u);
    EXPECT_EQ(IOObjectRelease(service), kIOReturnSuccess);
    EXPECT_NE(IOObjectRelease(service), kIOReturnSuccess) << "every reference was given back";
    // A device without a location is not found by one.
    plug(deviceInfo(0x2222, 0x61, std::nullopt));
    EXPECT_EQ(IOServiceGetMatchingService(kIOMasterPortDefault, serviceMatching("LocationID", 0)), 0u);
}
