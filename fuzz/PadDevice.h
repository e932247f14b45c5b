// One attached virtual device with a button and an axis, listed by the HID utility library,
// for the targets that restore element choices against it.
#pragma once

#include <ktrplatform/VirtualHidBus.h>

#include "HID_Utilities.h"

// Kept attached for the whole process. True when the device list was built.
inline bool attachPadAndBuildList() {
    ktrplatform::VirtualDeviceInfo info;
    info.vendorID = 100;
    info.productID = 7;
    info.locationID = 4096;
    info.primaryUsagePage = 1;
    info.primaryUsage = 5;
    info.elements = {ktrplatform::ElementInfo::button(9, 1), ktrplatform::ElementInfo::axis(1, 0x30, 0, 255, 0, 255)};
    static const auto device = ktrplatform::VirtualDevice::create(info);
    device->attach();
    return HIDBuildDeviceList(0, 0);
}
