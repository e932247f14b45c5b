#include <X11/Xlib.h>
#include <ktrplatform/Display.h>

namespace ktrplatform {

bool displayAvailable() {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return false;
    XCloseDisplay(display);
    return true;
}

}  // namespace ktrplatform
