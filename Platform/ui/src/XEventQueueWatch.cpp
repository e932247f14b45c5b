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

// Xlib's conversion hooks carry no context: one watch at a time, reached through this.
struct Watched {
    ::Display* display = nullptr;
    int fd = -1;
    std::atomic<bool> signalled{false};
    WireToEvent previous[GenericEvent] = {};
};
std::atomic<Watched*> g_watched{nullptr};

// Runs wherever Xlib reads an event off the connection, with the display locked: no X calls here.
Bool queued(::Display* display, XEvent* event, xEvent* wire) {
    Watched* watched = g_watched.load();
    const int type = wire->u.u.type & 0x7f;
    if (watched == nullptr || watched->display != display || type >= GenericEvent) return False;
    const Bool kept = watched->previous[type](display, event, wire);
    if (!watched->signalled.exchange(true)) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(watched->fd, &one, sizeof one);
    }
    return kept;
}

// Core event types, from key presses on (the framework's headers take the name KeyPress back); extensions' own
// events and generic events keep their converters.
constexpr int kFirstType = 2;

}  // namespace

XEventQueueWatch::XEventQueueWatch() {
    if (juce::MessageManager::getInstanceWithoutCreating() == nullptr) return;
    auto* windowSystem = juce::XWindowSystem::getInstance();
    ::Display* display = windowSystem != nullptr ? windowSystem->getDisplay() : nullptr;
    if (display == nullptr) return;
    const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) return;
    auto* watched = new Watched;
    watched->display = display;
    watched->fd = fd;
    Watched* none = nullptr;
    if (!g_watched.compare_exchange_strong(none, watched)) {
        close(fd);
        delete watched;
        return;
    }
    {
        const juce::XWindowSystemUtilities::ScopedXLock lock;
        for (int type = kFirstType; type < GenericEvent; ++type)
            watched->previous[type] = XESetWireToEvent(display, type, queued);
    }
    m_fd = fd;
    m_live = std::make_shared<std::atomic<bool>>(true);
    const int connection = ConnectionNumber(display);
    juce::LinuxEventLoop::registerFdCallback(fd, [watched, connection, live = m_live](int) {
        if (!live->load()) return;
        // Cleared before the queue is looked at: an event queued after this signals again.
        watched->signalled.store(false);
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t got = read(watched->fd, &count, sizeof count);
        int waiting = 0;
        {
            const juce::XWindowSystemUtilities::ScopedXLock lock;
            waiting = XQLength(watched->display);
        }
        if (waiting > 0) juce::LinuxEventLoopInternal::invokeEventLoopCallbackForFd(connection);
    });
    // Whatever the framework's start-up left in the queue.
    watched->signalled.store(true);
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(fd, &one, sizeof one);
}

XEventQueueWatch::~XEventQueueWatch() {
    if (m_fd < 0) return;
    m_live->store(false);
    juce::LinuxEventLoop::unregisterFdCallback(m_fd);
    Watched* watched = g_watched.load();
    {
        const juce::XWindowSystemUtilities::ScopedXLock lock;
        for (int type = kFirstType; type < GenericEvent; ++type) {
            // A converter set after ours stays.
            const WireToEvent current = XESetWireToEvent(watched->display, type, watched->previous[type]);
            if (current != queued) XESetWireToEvent(watched->display, type, current);
        }
        g_watched.store(nullptr);
    }
    close(m_fd);
    delete watched;
}

}  // namespace ktrplatform
