#include "HidUtil.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "HID_Utilities.h"

namespace {

constexpr long kKtrVendorID = 0x4D2A;

}  // namespace

const int32_t ValidHidDeviceType[4] = {0x61, 0x62, 0x63, 0x64};

HidUtil* HidUtil::m_pinstance = nullptr;

HidUtil::HidUtil()
    : m_handler(nullptr),
      m_device(nullptr),
      m_report(new unsigned char[kReportSize]),
      m_reportLength(0),
      m_matchingRegistered(false) {}

HidUtil::~HidUtil() {
    finalize();
    delete[] m_report;
    // Only when no other instance is live: a refused instance must not pull the manager from
    // under the live one. The manager is closed and released too, so that every controller
    // after this one starts from a manager of its own without the old one lingering.
    if (gIOHIDManagerRef && !m_pinstance) {
        if (m_matchingRegistered)
            IOHIDManagerUnscheduleFromRunLoop(gIOHIDManagerRef, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
        IOHIDManagerClose(gIOHIDManagerRef, kIOHIDOptionsTypeNone);
        CFRelease(gIOHIDManagerRef);
        gIOHIDManagerRef = nullptr;
    }
}

bool HidUtil::initialize(HidHandler* handler, int /*fileValid*/) {
    if (m_pinstance) return false;
    m_pinstance = this;
    m_handler = handler;
    // Without a list (the manager failed) no device is found now; arrivals still count.
    HIDBuildDeviceList(0, 0);
    return true;
}

void HidUtil::finalize() {
    deviceRemoval();
    // A refused instance never owned the list or the matching callback.
    if (m_pinstance == this) {
        HIDReleaseDeviceList();
        if (gIOHIDManagerRef) IOHIDManagerRegisterDeviceMatchingCallback(gIOHIDManagerRef, nullptr, nullptr);
        m_pinstance = nullptr;
    }
    m_handler = nullptr;
}

bool HidUtil::deviceMatching() {
    if (m_device) return true;
    for (IOHIDDeviceRef device = HIDGetFirstDevice(); device; device = HIDGetNextDevice(device)) {
        if (checkID(device)) break;
    }
    registerDeviceMatching();
    return m_device != nullptr;
}

void HidUtil::registerDeviceMatching() {
    if (m_matchingRegistered) return;
    m_matchingRegistered = true;
    if (!gIOHIDManagerRef) return;
    IOHIDManagerRegisterDeviceMatchingCallback(gIOHIDManagerRef, Handle_DeviceMatchingCallback, m_pinstance);
    IOHIDManagerScheduleWithRunLoop(gIOHIDManagerRef, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
}

bool HidUtil::checkID(__IOHIDDevice* device) {
    // One device at a time: a second target and repeated announcements of the held one are refused.
    if (m_device) return false;
    if (IOHIDDevice_GetVendorID(device) != kKtrVendorID) return false;
    const long productID = IOHIDDevice_GetProductID(device);
    if (std::find(std::begin(ValidHidDeviceType), std::end(ValidHidDeviceType), productID) ==
        std::end(ValidHidDeviceType))
        return false;

    {
        std::lock_guard<std::mutex> lock(m_deviceLock);
        m_device = device;
    }
    std::memset(m_report, 0, kReportSize);
    m_reportLength = 0;
    IOHIDDeviceRegisterRemovalCallback(device, Handle_IOHIDDeviceRemovalCallback, this);
    IOHIDDeviceRegisterInputReportCallback(device, m_report, kReportSize, Handle_IOHIDDeviceIOHIDReportCallback,
                                           nullptr);
    IOHIDDeviceScheduleWithRunLoop(device, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
    return true;
}

bool HidUtil::deviceRemoval() {
    IOHIDDeviceRef device;
    {
        // Waits for a send in progress; no send starts on this device afterwards.
        std::lock_guard<std::mutex> lock(m_deviceLock);
        device = m_device;
        m_device = nullptr;
    }
    if (!device) return false;
    IOHIDDeviceRegisterRemovalCallback(device, nullptr, nullptr);
    IOHIDDeviceRegisterInputReportCallback(device, m_report, kReportSize, nullptr, nullptr);
    IOHIDDeviceUnscheduleFromRunLoop(device, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
    std::memset(m_report, 0, kReportSize);
    m_reportLength = 0;
    return true;
}

int HidUtil::deviceVersion() {
    if (!m_device) return 0;
    const int32_t v = static_cast<int32_t>(IOHIDDevice_GetVersionNumber(m_device));
    return (v / 4096) * 1000 + ((v % 4096) / 256) * 100 + ((v % 256) / 16) * 10 + v % 16;
}

int HidUtil::deviceInput(unsigned char* buffer, unsigned int length) {
    if (!buffer || length == 0 || !m_device) return 0;
    const uint32_t n = std::min<uint32_t>(m_reportLength, length);
    std::memcpy(buffer, m_report, n);
    return static_cast<int>(n);
}

bool HidUtil::deviceOutput(unsigned char* buffer, unsigned int length) {
    if (!buffer || length == 0) return false;
    std::lock_guard<std::mutex> lock(m_deviceLock);
    if (!m_device) return false;
    return IOHIDDeviceSetReport(m_device, kIOHIDReportTypeOutput, 0, buffer, length) == kIOReturnSuccess;
}

void HidUtil::Handle_DeviceMatchingCallback(void* context, int /*result*/, void* /*sender*/, IOHIDDeviceRef device) {
    auto* self = static_cast<HidUtil*>(context);
    if (!self) return;
    // The device is held with its callbacks in place before the handler reads from it.
    if (self->checkID(device) && self->m_handler) self->m_handler->matchingCallBack();
}

void HidUtil::Handle_IOHIDDeviceRemovalCallback(void* context, int /*result*/, void* sender) {
    auto* self = static_cast<HidUtil*>(context);
    if (!self || !sender || !self->m_device) return;
    self->deviceRemoval();
    if (self->m_handler) self->m_handler->removalCallBack();
}

void HidUtil::Handle_IOHIDDeviceIOHIDReportCallback(void* /*context*/, int /*result*/, void* /*sender*/,
                                                    IOHIDReportType /*type*/, unsigned int /*reportID*/,
                                                    unsigned char* /*report*/, long reportLength) {
    HidUtil* self = m_pinstance;
    if (!self) return;
    // The platform has already written the bytes into m_report, truncated to its size.
    self->m_reportLength = static_cast<uint32_t>(std::clamp<long>(reportLength, 0, kReportSize));
    if (self->m_handler) self->m_handler->inputCallBack();
}
