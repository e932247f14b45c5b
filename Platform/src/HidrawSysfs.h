// What sysfs says about a hidraw device; shared by the real machine and the tests' trees.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ktrplatform::hidraw::detail {

struct DeviceFacts {
    std::string name;     // "hidraw3"
    std::string hidPath;  // the hid device's directory
    uint32_t bus = 0;     // bus type of HID_ID (BUS_USB, ...)
    uint32_t vendorID = 0;
    uint32_t productID = 0;
    std::optional<uint32_t> versionNumber;
    std::optional<uint32_t> locationID;
    std::string manufacturer;  // empty: unknown
    std::string product;
    std::string serialNumber;
    std::string transport;
};

// "hidraw" and a decimal number: nothing else names a hidraw device (and no path can sneak in).
bool isHidrawName(const std::string& name);
// The hidraw devices under sysfsRoot/class/hidraw, in name order.
std::vector<std::string> listDevices(const std::string& sysfsRoot);
// Null when the device is not there or its hid device has no readable HID_ID.
std::optional<DeviceFacts> readDeviceFacts(const std::string& sysfsRoot, const std::string& name);
// At most `limit` bytes of a regular file; empty when it cannot be read.
std::vector<uint8_t> readFile(const std::string& path, size_t limit);

}  // namespace ktrplatform::hidraw::detail
