// The seam between the HID manager and the sources of devices (the in-process
// virtual bus, the simulator process, Linux hidraw). A source attaches devices,
// feeds their input reports and detaches them; the registry turns that into
// manager and device callbacks on the run loops they are scheduled on.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/hid/IOHIDLib.h>
#include <ktrplatform/HidElementInfo.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace ktrplatform {

class DeviceBackend {
public:
    virtual ~DeviceBackend() = default;
    // Called synchronously on the sending thread, from any thread.
    virtual IOReturn setReport(IOHIDReportType type, uint32_t reportID, const uint8_t* data, size_t length) = 0;
};

// Makes a new device known to every manager (the properties are copied).
// The returned reference is owned by the registry until detachDevice.
IOHIDDeviceRef attachDevice(CFDictionaryRef properties, std::shared_ptr<DeviceBackend> backend);
// The same, for a device with elements, built from the descriptions in order.
IOHIDDeviceRef attachDevice(CFDictionaryRef properties, std::shared_ptr<DeviceBackend> backend,
                            const std::vector<ElementInfo>& elements);
// The device leaves: sends fail from now on, removal callbacks are posted.
void detachDevice(IOHIDDeviceRef device);
// Thread-safe; the report is copied and delivered on the device's run loop.
void deliverInputReport(IOHIDDeviceRef device, IOHIDReportType type, uint32_t reportID, const uint8_t* data,
                        size_t length);
// Thread-safe: the element with the cookie takes the value, and each running queue holding the
// element receives it when it differs from the element's last value (every value, for a relative
// element). False for an unknown device or cookie, or a device that has gone.
bool setElementValue(IOHIDDeviceRef device, IOHIDElementCookie cookie, CFIndex value);
// Number of devices attached now.
size_t attachedDeviceCount();

}  // namespace ktrplatform
