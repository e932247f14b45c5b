#include <ktrplatform/DeviceRegistry.h>
#include <ktrplatform/VirtualHidBus.h>

#include "CFRuntime.h"

namespace ktrplatform {

namespace {

void setNumber(CFMutableDictionaryRef dict, const char* key, int64_t value) {
    ktrcf::setNumber(dict, key, value, /*wrapUnsigned32=*/true);
}

using ktrcf::setText;

CFDictionaryRef makeProperties(const VirtualDeviceInfo& info) {
    CFMutableDictionaryRef dict = CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                                            &kCFTypeDictionaryValueCallBacks);
    setNumber(dict, kIOHIDVendorIDKey, info.vendorID);
    setNumber(dict, kIOHIDProductIDKey, info.productID);
    setNumber(dict, kIOHIDVersionNumberKey, info.versionNumber);
    if (info.locationID) setNumber(dict, kIOHIDLocationIDKey, *info.locationID);
    setNumber(dict, kIOHIDPrimaryUsagePageKey, info.primaryUsagePage);
    setNumber(dict, kIOHIDPrimaryUsageKey, info.primaryUsage);
    setNumber(dict, kIOHIDMaxInputReportSizeKey, info.maxInputReportSize);
    setNumber(dict, kIOHIDMaxOutputReportSizeKey, info.maxOutputReportSize);
    if (!info.manufacturer.empty()) setText(dict, kIOHIDManufacturerKey, info.manufacturer);
    if (!info.product.empty()) setText(dict, kIOHIDProductKey, info.product);
    if (!info.serialNumber.empty()) setText(dict, kIOHIDSerialNumberKey, info.serialNumber);
    if (!info.transport.empty()) setText(dict, kIOHIDTransportKey, info.transport);
    for (const auto& [key, value] : info.extra) {
        if (const auto* n = std::get_if<int64_t>(&value))
            setNumber(dict, key.c_str(), *n);
        else
            setText(dict, key.c_str(), std::get<std::string>(value));
    }
    return dict;
}

}  // namespace

class VirtualDevice::Backend : public DeviceBackend {
public:
    explicit Backend(std::weak_ptr<VirtualDevice> device) : m_device(std::move(device)) {}
    IOReturn setReport(IOHIDReportType type, uint32_t reportID, const uint8_t* data, size_t length) override {
        auto device = m_device.lock();
        return device ? device->onSetReport(type, reportID, data, length) : kIOReturnNoDevice;
    }

private:
    std::weak_ptr<VirtualDevice> m_device;
};

VirtualDevice::VirtualDevice(const VirtualDeviceInfo& info) : m_info(info) {}

std::shared_ptr<VirtualDevice> VirtualDevice::create(const VirtualDeviceInfo& info) {
    return std::shared_ptr<VirtualDevice>(new VirtualDevice(info));
}

VirtualDevice::~VirtualDevice() {
    if (m_ref) detachDevice(m_ref);
}

void VirtualDevice::attach() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_ref) return;
    CFDictionaryRef props = makeProperties(m_info);
    m_ref = attachDevice(props, std::make_shared<Backend>(weak_from_this()), m_info.elements);
    CFRelease(props);
}

void VirtualDevice::detach() {
    IOHIDDeviceRef ref;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ref = m_ref;
        m_ref = nullptr;
    }
    if (ref) detachDevice(ref);
}

bool VirtualDevice::isAttached() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_ref != nullptr;
}

IOHIDDeviceRef VirtualDevice::ref() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_ref;
}

void VirtualDevice::sendInput(const uint8_t* data, size_t length, uint32_t reportID) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_ref) deliverInputReport(m_ref, kIOHIDReportTypeInput, reportID, data, length);
}

bool VirtualDevice::setElementValue(IOHIDElementCookie cookie, CFIndex value) {
    // Under the lock, so that a detach cannot free the device meanwhile.
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_ref && ktrplatform::setElementValue(m_ref, cookie, value);
}

void VirtualDevice::setOutputHandler(OutputHandler handler) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_handler = std::move(handler);
}

void VirtualDevice::failSends(IOReturn code) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_failCode = code;
}

std::vector<RecordedReport> VirtualDevice::outputReports() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reports;
}

void VirtualDevice::clearOutputReports() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_reports.clear();
}

IOReturn VirtualDevice::onSetReport(IOHIDReportType type, uint32_t reportID, const uint8_t* data, size_t length) {
    OutputHandler handler;
    RecordedReport report{type, reportID, std::vector<uint8_t>(data, data + length)};
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_failCode != kIOReturnSuccess) return m_failCode;
        m_reports.push_back(report);
        handler = m_handler;
    }
    // Outside the lock: the handler may answer at once with sendInput.
    if (handler) handler(report);
    return kIOReturnSuccess;
}

}  // namespace ktrplatform
