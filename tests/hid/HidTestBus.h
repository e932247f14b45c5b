// Devices, handlers and clean-up shared by the HID binding test files.
#pragma once

#include "HidBusTest.h"
#include "HidHandler.h"
#include "HidUtil.h"
#include "TestSupport.h"

namespace hidtest {

using namespace ktrtest;

const std::string kBuild = "Boolean HIDBuildMultiDeviceList(const UInt32 *, const UInt32 *, int): ";

// A vendor-defined device (primary usage 0xFF00:1) of the given release number.
inline VirtualDeviceInfo deviceInfo(int64_t vendor, int64_t product, std::optional<int64_t> location,
                                    int64_t version = 0x0123) {
    VirtualDeviceInfo info = hidDevice(vendor, product, location, 0xFF00, 1);
    info.versionNumber = version;
    return info;
}

inline VirtualDeviceInfo ktrInfo(int64_t product = 0x61, int64_t version = 0x0123, int64_t location = 0x14100000) {
    return deviceInfo(0x4D2A, product, location, version);
}

struct CountingHandler : HidHandler {
    int removals = 0, matchings = 0, inputs = 0;
    void removalCallBack() override { ++removals; }
    void matchingCallBack() override { ++matchings; }
    void inputCallBack() override { ++inputs; }
};

// No binding is live between tests either.
class BusTest : public HidBusTest {
protected:
    void SetUp() override {
        HidBusTest::SetUp();
        ASSERT_EQ(HidUtil::m_pinstance, nullptr);
    }
};

}  // namespace hidtest
