// Drives the platform run loop of the framework's message thread from the framework's own event loop, so
// that work posted to it (HID callbacks among it) runs on the message thread as soon as it is posted.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <atomic>
#include <memory>

namespace ktrplatform {

class MessageThreadRunLoop {
public:
    // On the message thread, once the framework's message manager exists.
    MessageThreadRunLoop();
    ~MessageThreadRunLoop();
    MessageThreadRunLoop(const MessageThreadRunLoop&) = delete;
    MessageThreadRunLoop& operator=(const MessageThreadRunLoop&) = delete;

    // False without a message manager, or while another instance already drives this run loop.
    bool isAttached() const { return m_fd >= 0; }

private:
    CFRunLoopRef m_runLoop = nullptr;
    int m_fd = -1;
    // Cleared on destruction: the event loop may still call a callback it picked before it was removed.
    std::shared_ptr<std::atomic<bool>> m_live;
};

}  // namespace ktrplatform
