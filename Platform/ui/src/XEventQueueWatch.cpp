// The framework's X declarations first: Xlib's internal header defines macros that its headers would not survive.
#define JUCE_GUI_BASICS_INCLUDE_XHEADERS 1
#include <juce_gui_basics/juce_gui_basics.h>
// clang-format off
#include <juce_events/native/juce_linux_EventLoopInternal.h>
#include <X11/Xlibint.h>
// clang-format on
#include <ktrplatform/XEventQueueWatch.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace ktrplatform {

namespace {

using WireToEvent = Bool (*)(::Display*, XEvent*, xEvent*);

// Core event types, from key presses on (the framework's headers take the name KeyPress back); extensions' own
// events and generic events keep their converters.
constexpr int kFirstType = 2;

// Xlib's converters carry no context: one watch at a time, reached through this. Never freed: a converter set
// after ours may still call ours once the watch has ended, and then needs what ours replaced.
struct Watched {
    std::atomic<::Display*> display{nullptr};  // while a watch runs
    int fd = -1;                               // read and changed with the display locked
    std::atomic<bool> signalled{false};
    WireToEvent previous[GenericEvent] = {};
};
Watched g_watched;

// Runs wherever Xlib reads an event off the connection, with the display locked: no X calls here.
Bool queued(::Display* display, XEvent* event, xEvent* wire) {
    const int type = wire->u.u.type & 0x7f;
    const WireToEvent previous = type < GenericEvent ? g_watched.previous[type] : nullptr;
    const Bool kept = previous != nullptr && previous(display, event, wire);
    if (g_watched.display.load() == display && !g_watched.signalled.exchange(true)) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(g_watched.fd, &one, sizeof one);
    }
    return kept;
}

}  // namespace

XEventQueueWatch::XEventQueueWatch() {
    if (juce::MessageManager::getInstanceWithoutCreating() == nullptr) return;
    auto* windowSystem = juce::XWindowSystem::getInstance();
    ::Display* display = windowSystem != nullptr ? windowSystem->getDisplay() : nullptr;
    if (display == nullptr) return;
    ::Display* none = nullptr;
    if (!g_watched.display.compare_exchange_strong(none, display)) return;
    const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
        g_watched.display.store(none);
        return;
    }
    {
        const juce::XWindowSystemUtilities::ScopedXLock lock;
        g_watched.fd = fd;
        for (int type = kFirstType; type < GenericEvent; ++type) {
            const WireToEvent previous = XESetWireToEvent(display, type, queued);
            if (previous != queued) g_watched.previous[type] = previous;
        }
    }
    m_fd = fd;
    m_live = std::make_shared<std::atomic<bool>>(true);
    const int connection = ConnectionNumber(display);
    juce::LinuxEventLoop::registerFdCallback(fd, [display, fd, connection, live = m_live](int) {
        if (!live->load()) return;
        // Cleared before the queue is looked at: an event queued after this signals again.
        g_watched.signalled.store(false);
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t got = read(fd, &count, sizeof count);
        int waiting = 0;
        {
            const juce::XWindowSystemUtilities::ScopedXLock lock;
            waiting = XQLength(display);
        }
        if (waiting > 0) juce::LinuxEventLoopInternal::invokeEventLoopCallbackForFd(connection);
    });
    // Whatever the framework's start-up left in the queue.
    g_watched.signalled.store(true);
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(fd, &one, sizeof one);
}

XEventQueueWatch::~XEventQueueWatch() {
    if (m_fd < 0) return;
    m_live->store(false);
    juce::LinuxEventLoop::unregisterFdCallback(m_fd);
    ::Display* display = g_watched.display.load();
    {
        const juce::XWindowSystemUtilities::ScopedXLock lock;
        for (int type = kFirstType; type < GenericEvent; ++type) {
            // A converter set after ours stays.
            const WireToEvent current = XESetWireToEvent(display, type, g_watched.previous[type]);
            if (current != queued) XESetWireToEvent(display, type, current);
        }
        g_watched.fd = -1;
        g_watched.display.store(nullptr);
    }
    close(m_fd);
}

}  // namespace ktrplatform
