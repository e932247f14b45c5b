// Restoring element choices from arbitrary record files, record after record, against one device
// with elements.
#include <ktrplatform/VirtualHidBus.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "HID_Config_Utilities.h"
#include "HID_Utilities.h"

namespace {

using ktrplatform::ElementInfo;

bool setUp() {
    ktrplatform::VirtualDeviceInfo info;
    info.vendorID = 100;
    info.productID = 7;
    info.locationID = 4096;
    info.primaryUsagePage = 1;
    info.primaryUsage = 5;
    info.elements = {ElementInfo::button(9, 1), ElementInfo::axis(1, 0x30, 0, 255, 0, 255)};
    static const auto device = ktrplatform::VirtualDevice::create(info);
    device->attach();
    return HIDBuildDeviceList(0, 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = setUp();
    if (!ready || size > 1 << 16) return 0;
    std::vector<uint8_t> bytes(data, data + size);
    // An empty stream cannot be opened in memory; it stands for a file that could not be opened.
    FILE* file = size ? fmemopen(bytes.data(), size, "rb") : nullptr;
    IOHIDDeviceRef device = nullptr;
    IOHIDElementRef element = nullptr;
    for (size_t read = 0; read <= size; read += sizeof(HIDElementConfigRecord)) {
        HIDRestoreElementConfig(file, &device, &element);
        if (!file) break;
    }
    if (file) std::fclose(file);
    return 0;
}
