// Faults and races that the platform cannot be asked for: this executable is linked with the
// platform's CFArrayCreateMutable, CFDictionaryCreateMutable, CFNumberCreate and
// IOHIDDeviceSetReport wrapped (ld --wrap), so tests can make creations fail and watch sends.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "HidCtrl.h"
#include "HidTestBus.h"
#include "TestSupport.h"

using namespace hidtest;

namespace {

// Lets `skip` calls through, then fails the next `fail` ones.
struct Fault {
    std::atomic<int> skip{0};
    std::atomic<int> fail{0};
    void arm(int skipCalls, int failCalls) {
        skip = skipCalls;
        fail = failCalls;
    }
    bool fires() {
        if (skip > 0) {
            --skip;
            return false;
        }
        if (fail > 0) {
            --fail;
            return true;
        }
        return false;
    }
};

Fault gArrayFault;
Fault gDictionaryFault;
Fault gNumberFault;

// Devices that the binding has let go of; a send to one of them is a fault of the binding.
std::mutex gLetGoMutex;
std::set<IOHIDDeviceRef> gLetGo;
std::atomic<int> gSendsToLetGo{0};

}  // namespace

extern "C" {

CFMutableArrayRef __real_CFArrayCreateMutable(CFAllocatorRef, CFIndex, const CFArrayCallBacks*);
CFMutableDictionaryRef __real_CFDictionaryCreateMutable(CFAllocatorRef, CFIndex, const CFDictionaryKeyCallBacks*,
                                                        const CFDictionaryValueCallBacks*);
CFNumberRef __real_CFNumberCreate(CFAllocatorRef, CFNumberType, const void*);
IOReturn __real_IOHIDDeviceSetReport(IOHIDDeviceRef, IOHIDReportType, CFIndex, const uint8_t*, CFIndex);

CFMutableArrayRef __wrap_CFArrayCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                                              const CFArrayCallBacks* callBacks) {
    return gArrayFault.fires() ? nullptr : __real_CFArrayCreateMutable(allocator, capacity, callBacks);
}

CFMutableDictionaryRef __wrap_CFDictionaryCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                                                        const CFDictionaryKeyCallBacks* keyCallBacks,
                                                        const CFDictionaryValueCallBacks* valueCallBacks) {
    return gDictionaryFault.fires()
               ? nullptr
               : __real_CFDictionaryCreateMutable(allocator, capacity, keyCallBacks, valueCallBacks);
}

CFNumberRef __wrap_CFNumberCreate(CFAllocatorRef allocator, CFNumberType type, const void* value) {
    return gNumberFault.fires() ? nullptr : __real_CFNumberCreate(allocator, type, value);
}

IOReturn __wrap_IOHIDDeviceSetReport(IOHIDDeviceRef device, IOHIDReportType type, CFIndex reportID,
                                     const uint8_t* report, CFIndex length) {
    const auto letGo = [device] {
        std::lock_guard<std::mutex> lock(gLetGoMutex);
        return gLetGo.count(device) != 0;
    };
    // Let go before the send, or while it was still running: both are faults of the binding.
    const bool before = letGo();
    const IOReturn result = __real_IOHIDDeviceSetReport(device, type, reportID, report, length);
    if (before || letGo()) ++gSendsToLetGo;
    return result;
}

}  // extern "C"

namespace {

const std::string kBuild = "Boolean HIDBuildMultiDeviceList(const UInt32 *, const UInt32 *, int): ";
const std::string kMatching = "CFMutableDictionaryRef hu_SetUpMatchingDictionary(UInt32, UInt32): ";

CFIndex listCount() { return gDeviceCFArrayRef ? CFArrayGetCount(gDeviceCFArrayRef) : -1; }

class CreationFaultTest : public BusTest {
protected:
    void SetUp() override {
        BusTest::SetUp();
        plug(hidDevice(0x05AC, 0x0250, 0x14100000, 1, 6));
        m_vendor = plug(ktrInfo(0x61, 0x0123, 0x14200000))->ref();
    }
    void TearDown() override {
        for (Fault* fault : {&gArrayFault, &gDictionaryFault, &gNumberFault}) fault->arm(0, 0);
        BusTest::TearDown();
    }
    IOHIDDeviceRef m_vendor = nullptr;
};

TEST_F(CreationFaultTest, WithoutAMatchingArrayEveryDeviceIsListed) {
    gArrayFault.arm(0, 1);
    StderrCapture capture;
    EXPECT_TRUE(HIDBuildDeviceList(1, 6));
    EXPECT_EQ(capture.text(), kBuild + "Couldn\xE2\x80\x99t create a matching array.");
    EXPECT_EQ(listCount(), 2);

    // Without a list array the rebuild leaves no list.
    gArrayFault.arm(0, 1);
    HIDRebuildDevices();
    EXPECT_EQ(gDeviceCFArrayRef, nullptr);
    EXPECT_EQ(HIDGetFirstDevice(), nullptr);
}

TEST_F(CreationFaultTest, AMissingDictionaryOrNumberIsLeftOutOfTheMatching) {
    const UInt32 pages[] = {1, 0xFF00};
    const UInt32 usages[] = {6, 0};
    gDictionaryFault.arm(0, 1);
    StderrCapture capture;
    EXPECT_TRUE(HIDBuildMultiDeviceList(pages, usages, 2));
    EXPECT_EQ(capture.text(), kMatching + "CFDictionaryCreateMutable failed." + kBuild +
                                  "Couldn\xE2\x80\x99t create a matching dictionary.");
    ASSERT_EQ(listCount(), 1);
    EXPECT_EQ(HIDGetFirstDevice(), m_vendor);

    gNumberFault.arm(0, 1);
    StderrCapture pageCapture;
    EXPECT_EQ(matchingOf(1, 6), "0: - -");
    EXPECT_EQ(pageCapture.text(), kMatching + "CFNumberCreate( usage page ) failed.");
    gNumberFault.arm(1, 1);
    StderrCapture usageCapture;
    EXPECT_EQ(matchingOf(1, 6), "1: 1 -");
    EXPECT_EQ(usageCapture.text(), kMatching + "CFNumberCreate( usage ) failed.");
}

class CountingBackend : public ktrplatform::DeviceBackend {
public:
    IOReturn setReport(IOHIDReportType, uint32_t, const uint8_t*, size_t) override {
        ++sends;
        // A send that takes a while, as over USB, so that removals land in the middle of one.
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        return kIOReturnSuccess;
    }
    std::atomic<int> sends{0};
};

CFDictionaryRef targetProperties() {
    CFMutableDictionaryRef properties =
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    const std::pair<const char*, int32_t> numbers[] = {
        {"VendorID", 0x4D2A}, {"ProductID", 0x61}, {"VersionNumber", 0x0123}, {"LocationID", 0x14100000}};
    for (const auto& [key, value] : numbers) {
        CFStringRef k = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
        CFNumberRef n = CFNumberCreate(nullptr, kCFNumberSInt32Type, &value);
        CFDictionarySetValue(properties, k, n);
        CFRelease(n);
        CFRelease(k);
    }
    return properties;
}

// Marks the held device as let go the moment the controller hears of its removal.
struct RaceOwner : HidHandler {
    IOHIDDeviceRef current = nullptr;
    std::atomic<int> removals{0};
    std::atomic<int> matchings{0};
    void removalCallBack() override {
        {
            std::lock_guard<std::mutex> lock(gLetGoMutex);
            gLetGo.insert(current);
        }
        ++removals;
    }
    void matchingCallBack() override { ++matchings; }
    void inputCallBack() override {}
};

TEST_F(BusTest, SendsOnTheWorkerNeverReachADeviceThatWasLetGo) {
    constexpr int kCycles = 200;
    gLetGo.clear();  // addresses of an earlier run may be taken again
    gSendsToLetGo = 0;
    RaceOwner owner;
    HidCtrl ctrl;
    ASSERT_TRUE(ctrl.initialize(&owner, 1));
    CFDictionaryRef properties = targetProperties();
    std::vector<IOHIDDeviceRef> devices;

    std::atomic<bool> stop{false};
    std::thread worker([&] {
        unsigned char report[1024] = {0xF3};
        while (!stop) {
            if (!ctrl.setData(report, sizeof report)) std::this_thread::yield();
        }
    });

    for (int cycle = 0; cycle < kCycles; ++cycle) {
        auto backend = std::make_shared<CountingBackend>();
        IOHIDDeviceRef device = ktrplatform::attachDevice(properties, backend);
        // Kept alive, so that no later device can take its address in the let-go set.
        CFRetain(device);
        devices.push_back(device);
        owner.current = device;
        ASSERT_TRUE(ktrtest::pumpUntil([&] { return owner.matchings == cycle + 1; }));
        ASSERT_TRUE(ktrtest::pumpUntil([&] { return backend->sends > 0; }));

        ktrplatform::detachDevice(device);
        ASSERT_TRUE(ktrtest::pumpUntil([&] { return owner.removals == cycle + 1; }));
        // A send racing the removal must not leave the state claiming a device.
        EXPECT_EQ(ctrl.getState(), 0u);
    }
    stop = true;
    worker.join();

    EXPECT_EQ(gSendsToLetGo, 0);
    ctrl.finalize();
    for (IOHIDDeviceRef device : devices) CFRelease(device);
    CFRelease(properties);
}

}  // namespace
