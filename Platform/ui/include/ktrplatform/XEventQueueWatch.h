// Dispatches X events that wait in the client-side queue of the framework's display connection.
//
// The framework's event loop reads the connection only when its socket becomes readable. A framework call that
// waits for a reply outside that loop's own callback (a timer asking whether the window is minimised does) reads
// every event that arrives meanwhile into Xlib's queue and leaves the socket empty: those events, a click among
// them, then wait for the next X traffic, which may never come. This watch sees each event as Xlib queues it and
// has the framework's own callback dispatch the queue on the next pass of the event loop.
#pragma once

#include <atomic>
#include <memory>

namespace ktrplatform {

class XEventQueueWatch {
public:
    // On the message thread, once the framework has opened its display; inert without one.
    XEventQueueWatch();
    ~XEventQueueWatch();
    XEventQueueWatch(const XEventQueueWatch&) = delete;
    XEventQueueWatch& operator=(const XEventQueueWatch&) = delete;

    // False without a display, or while another instance watches it.
    bool isWatching() const { return m_fd >= 0; }

private:
    int m_fd = -1;
    // Cleared on destruction: the event loop may still call a callback it picked before it was removed.
    std::shared_ptr<std::atomic<bool>> m_live;
};

}  // namespace ktrplatform
