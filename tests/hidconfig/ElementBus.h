// A pad with elements of every kind on the virtual bus, and the helpers shared by the tests of the
// HID utility extensions.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <utility>

#include "DazoHIDUtilAddOn.h"
#include "HID_Config_Utilities.h"
#include "HID_Error_Handler.h"
#include "HID_Name_Lookup.h"
#include "HID_Queue_Utilities.h"
#include "HidBusTest.h"
#include "TestSupport.h"

namespace hidconfig {

using namespace ktrtest;

// Cookies of the pad's elements, in the device's element order.
enum PadCookie : IOHIDElementCookie { kCollection = 1, kButton1, kButton2, kAxis, kOutput, kFeature };

// Unless other elements are given: a report collection { button "Trigger", button, X axis 0..255 with
// a unit and flags }, an output with a name of 255 bytes, a feature with one too long for the dumps,
// copies of the first button as a misc input, a scan-code input and an element of an unknown type,
// and a collection of an unnamed type. The device's usage 1:5 is its plain and its primary pair.
inline VirtualDeviceInfo padInfo(int64_t vendor, int64_t product, std::optional<int64_t> location,
                                 std::vector<ElementInfo> elements = {}) {
    VirtualDeviceInfo info = hidDevice(vendor, product, location);
    info.extra = {{"DeviceUsagePage", int64_t{1}}, {"DeviceUsage", int64_t{5}}};
    if (!elements.empty()) return info.elements = std::move(elements), info;
    auto button = ElementInfo::button(9, 1), axis = ElementInfo::axis(1, 0x30, 0, 255, 0, 255);
    auto output = ElementInfo::output(8, 1, 1, 1), feature = ElementInfo::feature(0xFF00, 1, 8, 4);
    button.name = "Trigger", output.name = std::string(255, 'o'), feature.name = std::string(256, 'f');
    axis.type = kIOHIDElementTypeInput_Axis, axis.reportID = 2, axis.unit = 0x12, axis.unitExponent = 0xE;
    axis.isRelative = axis.isWrapping = axis.hasNullState = true, axis.hasPreferredState = false;
    feature.isVirtual = feature.isArray = feature.isNonLinear = true;
    for (ElementInfo* e : {&output, &feature}) e->logicalMax = e->physicalMax = 0, e->hasPreferredState = false;
    auto& list = info.elements = {
        ElementInfo::collection(kIOHIDElementCollectionTypeReport, 1, 5, {button, ElementInfo::button(9, 2), axis}),
        output, feature};
    for (auto type : {kIOHIDElementTypeInput_Misc, kIOHIDElementTypeInput_ScanCodes, IOHIDElementType(130)})
        list.push_back(button), list.back().type = type;
    return list.push_back(ElementInfo::collection(IOHIDElementCollectionType(7), 0xFF00, 0x12345, {})), info;
}

inline std::string pointer(const void* p) {
    char text[32];
    return std::string(text, std::snprintf(text, sizeof text, "%p", p));
}

// What a dump writes, with the dumped object's address shown as "@".
template <typename Ref>
std::string dump(void (*dumper)(Ref), Ref object) {
    StdoutCapture out;
    dumper(object);
    std::string text = out.text();
    const size_t at = object ? text.find(pointer(object)) : std::string::npos;
    return at == std::string::npos ? text : text.replace(at, pointer(object).size(), "@");
}

// An element's calibration as its dump shows it, without the head; reading fills in the defaults.
inline std::string calibration(IOHIDElementRef e) { return dump(HIDDumpElementCalibrationInfo, e).substr(19); }

// Stand for "not written" in out-variables.
IOHIDDeviceRef const kNoDevice = reinterpret_cast<IOHIDDeviceRef>(uintptr_t{0xD0});
IOHIDElementRef const kNoElement = reinterpret_cast<IOHIDElementRef>(uintptr_t{0xE0});

// Starts with one pad (vendor 100, product 7, location 0x1000) attached.
class PadTest : public HidBusTest {
protected:
    void SetUp() override { HidBusTest::SetUp(), m_pad = plug(padInfo(100, 7, 0x1000)), m_device = m_pad->ref(); }
    IOHIDElementRef element(IOHIDElementCookie cookie) const { return elementWithCookie(m_device, cookie); }
    // A result and the outs as "device:element", then resets them: "-" for null, "?" for untouched, "pad",
    // "second" or "other" for a device and the cookie for an element.
    std::string result(long value) {
        auto name = [this](void* p) -> std::string {
            if (!p || p == kNoDevice || p == kNoElement) return p ? "?" : "-";
            if (p == m_found) return p == m_device ? "pad" : p == m_second ? "second" : "other";
            return std::to_string(IOHIDElementGetCookie(static_cast<IOHIDElementRef>(p)));
        };
        const std::string out = std::to_string(value) + " " + name(m_found) + ":" + name(m_element);
        return m_found = kNoDevice, m_element = kNoElement, out;
    }

    std::shared_ptr<VirtualDevice> m_pad;
    IOHIDDeviceRef m_device = nullptr, m_second = nullptr, m_found = kNoDevice;
    IOHIDElementRef m_element = kNoElement;
};

}  // namespace hidconfig
