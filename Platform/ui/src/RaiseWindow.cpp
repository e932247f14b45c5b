#include <X11/Xlib.h>
#include <ktrplatform/RaiseWindow.h>

namespace ktrplatform {

bool raiseWindow(void* nativeHandle) {
    if (nativeHandle == nullptr) return false;
    // A connection of its own: stacking is the server's, whichever client asks.
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return false;
    XRaiseWindow(display, static_cast<Window>(reinterpret_cast<unsigned long>(nativeHandle)));
    XSync(display, False);
    XCloseDisplay(display);
    return true;
}

}  // namespace ktrplatform
