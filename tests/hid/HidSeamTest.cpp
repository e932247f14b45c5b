// Creations that fail: this executable is linked with the platform's CFArrayCreateMutable,
// CFDictionaryCreateMutable and CFNumberCreate wrapped (ld --wrap), so that tests can make them fail.
#include <atomic>

#include "HidTestBus.h"

using namespace hidtest;

namespace {

// Lets `skip` calls through and fails the next one; idle at -1.
struct Fault {
    std::atomic<int> skip{-1};
    bool fires() { return skip >= 0 && skip-- == 0; }
};

Fault gArrayFault, gDictionaryFault, gNumberFault;

}  // namespace

extern "C" {

CFMutableArrayRef __real_CFArrayCreateMutable(CFAllocatorRef, CFIndex, const CFArrayCallBacks*);
CFMutableDictionaryRef __real_CFDictionaryCreateMutable(CFAllocatorRef, CFIndex, const CFDictionaryKeyCallBacks*,
                                                        const CFDictionaryValueCallBacks*);
CFNumberRef __real_CFNumberCreate(CFAllocatorRef, CFNumberType, const void*);

CFMutableArrayRef __wrap_CFArrayCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                                              const CFArrayCallBacks* callBacks) {
    return gArrayFault.fires() ? nullptr : __real_CFArrayCreateMutable(allocator, capacity, callBacks);
}

CFMutableDictionaryRef __wrap_CFDictionaryCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                                                        const CFDictionaryKeyCallBacks* keys,
                                                        const CFDictionaryValueCallBacks* values) {
    return gDictionaryFault.fires() ? nullptr : __real_CFDictionaryCreateMutable(allocator, capacity, keys, values);
}

CFNumberRef __wrap_CFNumberCreate(CFAllocatorRef allocator, CFNumberType type, const void* value) {
    return gNumberFault.fires() ? nullptr : __real_CFNumberCreate(allocator, type, value);
}

}  // extern "C"

namespace {

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
        for (Fault* fault : {&gArrayFault, &gDictionaryFault, &gNumberFault}) fault->skip = -1;
        BusTest::TearDown();
    }
    IOHIDDeviceRef m_vendor = nullptr;
};

TEST_F(CreationFaultTest, WithoutAMatchingArrayEveryDeviceIsListed) {
    gArrayFault.skip = 0;
    StderrCapture capture;
    EXPECT_TRUE(HIDBuildDeviceList(1, 6));
    EXPECT_EQ(capture.text(), kBuild + "Couldn\xE2\x80\x99t create a matching array.");
    EXPECT_EQ(listCount(), 2);
    // Without a list array the rebuild leaves no list.
    gArrayFault.skip = 0;
    HIDRebuildDevices();
    EXPECT_EQ(gDeviceCFArrayRef, nullptr);
    EXPECT_EQ(HIDGetFirstDevice(), nullptr);
}

TEST_F(CreationFaultTest, AMissingDictionaryOrNumberIsLeftOutOfTheMatching) {
    const UInt32 pages[] = {1, 0xFF00};
    const UInt32 usages[] = {6, 0};
    gDictionaryFault.skip = 0;
    StderrCapture capture;
    EXPECT_TRUE(HIDBuildMultiDeviceList(pages, usages, 2));
    EXPECT_EQ(capture.text(), kMatching + "CFDictionaryCreateMutable failed." + kBuild +
                                  "Couldn\xE2\x80\x99t create a matching dictionary.");
    ASSERT_EQ(listCount(), 1);
    EXPECT_EQ(HIDGetFirstDevice(), m_vendor);

    const std::pair<const char*, const char*> numbers[] = {{"0: - -", "CFNumberCreate( usage page ) failed."},
                                                           {"1: 1 -", "CFNumberCreate( usage ) failed."}};
    for (int skip : {0, 1}) {
        gNumberFault.skip = skip;
        StderrCapture numberCapture;
        EXPECT_EQ(matchingOf(1, 6), numbers[skip].first);
        EXPECT_EQ(numberCapture.text(), kMatching + numbers[skip].second);
    }
}

}  // namespace
