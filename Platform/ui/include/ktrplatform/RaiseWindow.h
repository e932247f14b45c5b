// Brings a top-level window above the others on the display.
#pragma once

namespace ktrplatform {

// The framework's own way only asks a window manager to activate the window; without one, or with one that
// holds back windows asking for focus, nothing would move. Takes the window's native handle; false when the
// display cannot be reached.
bool raiseWindow(void* nativeHandle);

}  // namespace ktrplatform
