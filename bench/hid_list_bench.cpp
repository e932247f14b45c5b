// Walking the device list: HIDGetNextDevice with the device it returned last must cost the
// same at every position, so a whole walk grows linearly with the number of devices.
#include <CoreFoundation/CoreFoundation.h>
#include <benchmark/benchmark.h>
#include <ktrplatform/SystemDevices.h>
#include <ktrplatform/VirtualHidBus.h>

#include <memory>
#include <vector>

#include "HID_Utilities.h"

namespace {

// Only the virtual devices are measured, never the machine's own.
const bool kVirtualOnly = [] {
    ktrplatform::setSystemDevicesEnabled(false);
    return true;
}();

// The bus with n devices at distinct locations, listed by the library.
class ListedBus {
public:
    explicit ListedBus(int n) {
        for (int i = 0; i < n; ++i) {
            ktrplatform::VirtualDeviceInfo info;
            info.vendorID = 0x1000 + i % 7;
            info.productID = i;
            info.locationID = 0x01000000 + i * 0x100;
            m_devices.push_back(ktrplatform::VirtualDevice::create(info));
            m_devices.back()->attach();
        }
        HIDBuildDeviceList(0, 0);
    }
    ~ListedBus() {
        HIDReleaseDeviceList();
        if (gIOHIDManagerRef) {
            IOHIDManagerClose(gIOHIDManagerRef, 0);
            CFRelease(gIOHIDManagerRef);
            gIOHIDManagerRef = nullptr;
        }
        m_devices.clear();
    }
    IOHIDDeviceRef at(CFIndex i) const {
        return static_cast<IOHIDDeviceRef>(const_cast<void*>(CFArrayGetValueAtIndex(gDeviceCFArrayRef, i)));
    }

private:
    std::vector<std::shared_ptr<ktrplatform::VirtualDevice>> m_devices;
};

void BM_WalkWholeList(benchmark::State& state) {
    const auto n = static_cast<int>(state.range(0));
    ListedBus bus(n);
    for (auto _ : state) {
        int count = 0;
        for (IOHIDDeviceRef device = HIDGetFirstDevice(); device; device = HIDGetNextDevice(device)) ++count;
        benchmark::DoNotOptimize(count);
    }
    state.SetItemsProcessed(state.iterations() * n);
    state.SetComplexityN(n);
}
BENCHMARK(BM_WalkWholeList)->Arg(1000)->Arg(10000)->Complexity(benchmark::oN);

// One fast-path step at the far end of the list.
void BM_NextAtListEnd(benchmark::State& state) {
    const auto n = static_cast<int>(state.range(0));
    ListedBus bus(n);
    IOHIDDeviceRef last = bus.at(n - 2);
    for (auto _ : state) {
        gDeviceIndex = n - 2;
        benchmark::DoNotOptimize(HIDGetNextDevice(last));
    }
}
BENCHMARK(BM_NextAtListEnd)->Arg(1000)->Arg(10000);

// For contrast: a caller that passes another device makes the list be searched.
void BM_NextRestartSearch(benchmark::State& state) {
    const auto n = static_cast<int>(state.range(0));
    ListedBus bus(n);
    IOHIDDeviceRef last = bus.at(n - 2);
    for (auto _ : state) {
        gDeviceIndex = 0;
        benchmark::DoNotOptimize(HIDGetNextDevice(last));
    }
}
BENCHMARK(BM_NextRestartSearch)->Arg(1000)->Arg(10000);

}  // namespace
