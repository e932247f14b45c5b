// Makes the calling thread the program's message thread in a test: it runs both JUCE's queue (state
// and progress hand-over) and the run loop that the device callbacks are posted to.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <juce_events/juce_events.h>
#include <ktrplatform/RunLoopHook.h>
#include <poll.h>

#include <chrono>
#include <functional>

namespace juce {
// Not in JUCE's public headers; its own modules declare it like this where they drive the queue themselves.
bool dispatchNextMessageOnSystemQueue(bool returnIfNoPendingMessages);
}  // namespace juce

namespace roadtest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// One pass: the device callbacks first, then JUCE's messages unless left out.
inline void pumpOnce(bool juceQueue = true) {
    KTRRunLoopPerformPending(CFRunLoopGetMain());
    if (!juceQueue) return;
    for (int i = 0; i < 1000 && juce::dispatchNextMessageOnSystemQueue(true); ++i) {
    }
}

// Until the run loop has work or a millisecond has passed: a reply is delivered as soon as it is posted.
inline void idle() {
    pollfd pfd{KTRRunLoopGetWakeDescriptor(CFRunLoopGetMain()), POLLIN, 0};
    poll(&pfd, 1, 1);
}

// Pumps until the predicate holds or the time is up; eachPass runs after every pass. Without juceQueue
// only the run loop turns, as when the JUCE queue has not got round to its messages yet.
inline bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s,
                      const std::function<void()>& eachPass = {}, bool juceQueue = true) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        pumpOnce(juceQueue);
        if (eachPass) eachPass();
        if (done()) return true;
        if (Clock::now() >= deadline) return false;
        idle();
    }
}

inline void pumpFor(std::chrono::milliseconds duration) {
    pumpUntil([] { return false; }, duration);
}

}  // namespace roadtest
