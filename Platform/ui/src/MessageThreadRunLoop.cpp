#include <juce_events/juce_events.h>
#include <ktrplatform/MessageThreadRunLoop.h>
#include <ktrplatform/RunLoopHook.h>

#include <mutex>
#include <set>

namespace ktrplatform {

namespace {

// The event loop keeps one callback per descriptor; a second registration would be dropped silently and the
// first one's removal would then leave the run loop undriven.
std::mutex& attachedMutex() {
    static std::mutex mutex;
    return mutex;
}
std::set<int>& attachedDescriptors() {
    static std::set<int> fds;
    return fds;
}

}  // namespace

MessageThreadRunLoop::MessageThreadRunLoop() {
    if (juce::MessageManager::getInstanceWithoutCreating() == nullptr) return;
    CFRunLoopRef runLoop = CFRunLoopGetCurrent();
    const int fd = KTRRunLoopGetWakeDescriptor(runLoop);
    if (fd < 0) return;
    {
        std::lock_guard<std::mutex> lock(attachedMutex());
        if (!attachedDescriptors().insert(fd).second) return;
    }
    CFRetain(runLoop);
    m_runLoop = runLoop;
    m_fd = fd;
    m_live = std::make_shared<std::atomic<bool>>(true);
    juce::LinuxEventLoop::registerFdCallback(fd, [runLoop, live = m_live](int) {
        if (live->load()) KTRRunLoopPerformPending(runLoop);
    });
}

MessageThreadRunLoop::~MessageThreadRunLoop() {
    if (m_fd < 0) return;
    m_live->store(false);
    juce::LinuxEventLoop::unregisterFdCallback(m_fd);
    {
        std::lock_guard<std::mutex> lock(attachedMutex());
        attachedDescriptors().erase(m_fd);
    }
    CFRelease(m_runLoop);
}

}  // namespace ktrplatform
