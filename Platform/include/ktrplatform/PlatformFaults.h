// Failures of the platform itself that tests can provoke.
#pragma once

namespace ktrplatform {

// The next IOHIDManagerCreate returns null.
void failNextHIDManagerCreate();
// The next IOHIDManagerOpen fails with kIOReturnError.
void failNextHIDManagerOpen();

}  // namespace ktrplatform
