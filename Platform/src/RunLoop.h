// Internal side of the run loops: work posted from any thread runs on the
// thread that owns the run loop, in the order it was posted.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <deque>
#include <functional>
#include <mutex>

#include "CFRuntime.h"

struct __CFRunLoop : ktrcf::Object {
    __CFRunLoop();
    ~__CFRunLoop() override;

    // Thread-safe; wakes the owner.
    void post(std::function<void()> work);
    // Runs what is pending now; returns how many pieces of work ran.
    size_t performPending();
    // Waits until work is posted, a stop is asked for, or the time is up.
    void waitForWork(double seconds);
    void wake();

    std::mutex mutex;
    std::deque<std::function<void()>> queue;
    bool stopRequested = false;
    int wakeFd = -1;
};

namespace ktrcf {
// Posts work to a run loop; a null run loop drops it.
void postToRunLoop(CFRunLoopRef runLoop, std::function<void()> work);
}  // namespace ktrcf
