// A pad with elements on the virtual bus for the queue, watch and configuration tests.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>
#include <utility>

#include "HidBusTest.h"

namespace hidconfig {

using namespace ktrtest;

// Cookies of padElements(), in the device's element order.
enum PadCookie : IOHIDElementCookie {
    kCollection = 1,
    kButton1 = 2,
    kButton2 = 3,
    kAxis = 4,
    kOutput = 5,
    kFeature = 6,
};

// An application collection holding two buttons and an X axis, then an output and a feature.
inline std::vector<ElementInfo> padElements() {
    return {ElementInfo::collection(
                kIOHIDElementCollectionTypeApplication, 1, 5,
                {ElementInfo::button(9, 1), ElementInfo::button(9, 2), ElementInfo::axis(1, 0x30, 0, 255, 0, 255)}),
            ElementInfo::output(8, 1, 1, 1), ElementInfo::feature(0xFF00, 1, 8, 1)};
}

// Usage 1:5 both as the plain and as the primary pair.
inline VirtualDeviceInfo padInfo(int64_t vendor, int64_t product, std::optional<int64_t> location,
                                 std::vector<ElementInfo> elements = padElements()) {
    VirtualDeviceInfo info = hidDevice(vendor, product, location);
    info.extra = {{"DeviceUsagePage", int64_t{1}}, {"DeviceUsage", int64_t{5}}};
    info.elements = std::move(elements);
    return info;
}

// Stand for "not written" in out-variables.
IOHIDDeviceRef const kNoDevice = reinterpret_cast<IOHIDDeviceRef>(static_cast<uintptr_t>(0xD0));
IOHIDElementRef const kNoElement = reinterpret_cast<IOHIDElementRef>(static_cast<uintptr_t>(0xE0));

// Starts with one pad (vendor 100, product 7, location 0x1000) attached.
class PadTest : public HidBusTest {
protected:
    void SetUp() override {
        HidBusTest::SetUp();
        m_pad = plug(padInfo(100, 7, 0x1000));
        m_device = m_pad->ref();
    }
    IOHIDElementRef element(IOHIDElementCookie cookie) const { return elementWithCookie(m_device, cookie); }
    using Outs = std::pair<IOHIDDeviceRef, IOHIDElementRef>;
    Outs outs() const { return {m_found, m_element}; }
    void resetOuts() {
        m_found = kNoDevice;
        m_element = kNoElement;
    }
    const Outs kFoundNothing{nullptr, nullptr};
    const Outs kOutsUntouched{kNoDevice, kNoElement};

    std::shared_ptr<VirtualDevice> m_pad;
    IOHIDDeviceRef m_device = nullptr;
    IOHIDDeviceRef m_found = kNoDevice;
    IOHIDElementRef m_element = kNoElement;
};

// Moves an element between two values from another thread until destroyed, so that a watch
// sees a change whenever its first pass happened.
class Wiggler {
public:
    Wiggler(std::shared_ptr<VirtualDevice> device, IOHIDElementCookie cookie, CFIndex a, CFIndex b)
        : m_thread([this, device, cookie, a, b] {
              for (bool flip = false; !m_stop; flip = !flip) {
                  device->setElementValue(cookie, flip ? b : a);
                  std::this_thread::sleep_for(std::chrono::milliseconds(2));
              }
          }) {}
    ~Wiggler() {
        m_stop = true;
        m_thread.join();
    }
    Wiggler(const Wiggler&) = delete;
    Wiggler& operator=(const Wiggler&) = delete;

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace hidconfig
