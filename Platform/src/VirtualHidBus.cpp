#include <ktrplatform/DeviceRegistry.h>
#include <ktrplatform/VirtualHidBus.h>

#include <climits>

#include "CFRuntime.h"

namespace ktrplatform {

namespace {

void setNumber(CFMutableDictionaryRef dict, const char* key, int64_t value) {
    // Values that fit 32 bits are stored as the platform does, as a signed 32-bit number,
    // so that readers see the same bits whatever sign the value was given with.
    CFNumberRef number;
    if (value >= INT32_MIN && value <= static_cast<int64_t>(UINT32_MAX)) {
        const int32_t v32 = static_cast<int32_t>(static_cast<uint32_t>(value));
        number = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &v32);
    } else {
        number = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &value);
    }
    CFStringRef k = ktrcf::makeString(key);
    CFDictionarySetValue(dict, k, number);
    CFRelease(k);
    CFRelease(number);
}

void setText(CFMutableDictionaryRef dict, const char* key, const std::string& value) {
    CFStringRef k = ktrcf::makeString(key);
    CFStringRef v = ktrcf::makeString(value);
    CFDictionarySetValue(dict, k, v);
    CFRelease(k);
    CFRelease(v);
}

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
