// In-process HID devices for tests and the simulator: add a device with its
// properties, plug and unplug it, feed input reports, observe output reports.
#pragma once

#include <IOKit/hid/IOHIDLib.h>
#include <ktrplatform/HidElementInfo.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace ktrplatform {

struct VirtualDeviceInfo {
    int64_t vendorID = 0;
    int64_t productID = 0;
    int64_t versionNumber = 0;
    std::optional<int64_t> locationID;  // absent: the device has no "LocationID"
    int64_t primaryUsagePage = 0;
    int64_t primaryUsage = 0;
    std::string manufacturer;
    std::string product;
    std::string serialNumber;
    std::string transport = "USB";
    int64_t maxInputReportSize = 1024;
    int64_t maxOutputReportSize = 1024;
    // Further properties; a number or a UTF-8 text each.
    std::map<std::string, std::variant<int64_t, std::string>> extra;
    // The device's elements, made afresh at each attach with their initial values.
    std::vector<ElementInfo> elements;
};

struct RecordedReport {
    IOHIDReportType type;
    uint32_t reportID;
    std::vector<uint8_t> bytes;
};

class VirtualDevice : public std::enable_shared_from_this<VirtualDevice> {
public:
    // Runs on the sending thread after the report has been recorded.
    using OutputHandler = std::function<void(const RecordedReport&)>;

    static std::shared_ptr<VirtualDevice> create(const VirtualDeviceInfo& info);
    ~VirtualDevice();

    const VirtualDeviceInfo& info() const { return m_info; }

    // Each attach is a new arrival with a new IOHIDDeviceRef, as after a replug.
    void attach();
    void detach();
    bool isAttached() const;
    IOHIDDeviceRef ref() const;  // null while detached

    void sendInput(const uint8_t* data, size_t length, uint32_t reportID = 0);
    void sendInput(const std::vector<uint8_t>& bytes) { sendInput(bytes.data(), bytes.size()); }

    // Thread-safe; see ktrplatform::setElementValue. False while detached.
    bool setElementValue(IOHIDElementCookie cookie, CFIndex value);

    void setOutputHandler(OutputHandler handler);
    // kIOReturnSuccess lets sends through again; any other code is returned by every send.
    void failSends(IOReturn code);
    std::vector<RecordedReport> outputReports() const;
    void clearOutputReports();

private:
    class Backend;
    explicit VirtualDevice(const VirtualDeviceInfo& info);
    IOReturn onSetReport(IOHIDReportType type, uint32_t reportID, const uint8_t* data, size_t length);

    VirtualDeviceInfo m_info;
    mutable std::mutex m_mutex;
    IOHIDDeviceRef m_ref = nullptr;
    OutputHandler m_handler;
    IOReturn m_failCode = kIOReturnSuccess;
    std::vector<RecordedReport> m_reports;
};

}  // namespace ktrplatform
