// Restoring element choices from arbitrary record files, record after record, against one device
// with elements.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "HID_Config_Utilities.h"
#include "PadDevice.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = attachPadAndBuildList();
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
