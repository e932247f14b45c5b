// The framework's message thread for the tests: started once per process, driven by the test's own thread.
#pragma once

#include <juce_events/native/juce_linux_EventLoopInternal.h>

#include "JuceEnvironment.h"

namespace juce {
// What MessageManager::runDispatchLoopUntil() runs, which the framework leaves out without modal loops.
bool dispatchNextMessageOnSystemQueue(bool returnIfNoPendingMessages);
}  // namespace juce

namespace uiplatformtest {

// Runs the framework's event loop until the predicate holds; false when it still does not after the time-out,
// which only keeps a broken test from hanging. Not the platform run loop: the tests watch what the framework's
// loop alone delivers.
inline bool runUntil(const std::function<bool()>& predicate,
                     std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    for (const auto deadline = std::chrono::steady_clock::now() + timeout; !predicate();) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        if (!juce::dispatchNextMessageOnSystemQueue(true)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Runs the framework's event loop for the given time.
inline void runFor(std::chrono::milliseconds duration) {
    runUntil([] { return false; }, duration);
}

// The descriptors the framework's event loop watches.
inline std::vector<int> watchedDescriptors() { return juce::LinuxEventLoopInternal::getRegisteredFds(); }

}  // namespace uiplatformtest
