// The machine's HID devices on Linux, through hidraw, as HID Manager devices.
//
// A source reads each hidraw device's facts from sysfs, opens its node, attaches it
// to the device registry and, on a thread of its own, reads its input reports and
// follows hot-plug events. Tests run it on a sysfs tree, nodes and a monitor of their own.
//
// Properties of an attached device (numbers as the virtual bus stores them):
//   VendorID, ProductID      from HID_ID of the hid device
//   VersionNumber            USB devices: bcdDevice of the USB device
//   LocationID               USB devices: see usbLocationID
//   Manufacturer             USB devices: the USB device's string
//   Product, SerialNumber    the USB device's strings where it has them, else HID_NAME and HID_UNIQ
//   Transport                "USB", "Bluetooth", "I2C", "SPI" or "Virtual" after the bus of HID_ID
//   PrimaryUsagePage/Usage,  from the report descriptor (see HidrawDescriptor.h), read with
//   Max*ReportSize           HIDIOCGRDESC or, where that fails, from the hid device's report_descriptor
// A property whose source is missing or unreadable is left out; a device without a
// readable HID_ID is not attached.
//
// Reports: each read of the node is one input report, delivered as read; when the
// device numbers its reports the first byte is the report ID, which is also passed as
// the report ID. An output report goes out as one write of the report number byte (the
// report ID; 0 for unnumbered reports) followed by the bytes, as hidraw expects, from
// the sending thread; feature and input reports cannot be sent.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ktrplatform::hidraw {

// The LocationID of a USB device: the bus number in bits 31-24, then the port on the
// root hub in bits 23-20 and each further port down the hubs in the next 4 bits, the
// bits after the last port 0. Bus 1, ports 2.3 (sysfs devpath "2.3") gives 0x01230000;
// bus 20, port 2 gives 0x14200000. Unique per port and the same after a replug into it.
// Null when it cannot be encoded so: bus outside 1-255, a port outside 1-15, no port or
// more than 6 (the deepest USB allows); such a device has no LocationID.
std::optional<uint32_t> usbLocationID(unsigned long bus, const std::string& devpath);

struct Event {
    enum class Action { Add, Remove };
    Action action;
    std::string name;  // the hidraw device's name, e.g. "hidraw3"
};

// Hot-plug events of hidraw devices.
class Monitor {
public:
    virtual ~Monitor() = default;
    // Readable while events wait.
    virtual int fd() const = 0;
    // Appends the events waiting now; false once the monitor has ended for good.
    virtual bool receive(std::vector<Event>& events) = 0;
};

// udev's events, which come after its rules have set the node's access; null when
// udev cannot be reached.
std::unique_ptr<Monitor> udevMonitor();

// Opens a device node; returns the descriptor, or -errno.
using NodeOpener = std::function<int(const std::string& path)>;
int openNode(const std::string& path);

struct SourceOptions {
    std::string sysfsRoot = "/sys";
    std::string devRoot = "/dev";  // the node of device "hidrawN" is devRoot + "/hidrawN"
    NodeOpener opener = openNode;
    std::unique_ptr<Monitor> monitor;  // null: no hot-plug
};

class Source {
public:
    // The devices present now are attached before it returns.
    explicit Source(SourceOptions options);
    // Stops the thread and detaches every device still attached.
    ~Source();

    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;

private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace ktrplatform::hidraw
