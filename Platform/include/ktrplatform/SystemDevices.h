// Whether HID managers see the machine's own HID devices (Linux hidraw).
#pragma once

namespace ktrplatform {

// On by default. Read when a HID manager is created: turning it off before the first
// manager keeps the machine's devices out of the process (tests on the virtual bus do);
// once they are watched, turning it off does not stop that.
void setSystemDevicesEnabled(bool enabled);
bool systemDevicesEnabled();

}  // namespace ktrplatform
