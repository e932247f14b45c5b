// The machine's own HID devices, for the HID managers of this process.
#pragma once

namespace ktrplatform::detail {

// Once per process, unless a simulator replaces the machine's devices (KTRQ7_SIM_SOCKET)
// or the process turned them off: attaches the machine's hidraw devices and follows them.
void startHidrawSource();

}  // namespace ktrplatform::detail
