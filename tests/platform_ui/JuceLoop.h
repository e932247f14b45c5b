// The framework's message thread for the tests: started once per process, driven by the test's own thread.
#pragma once

#include <juce_events/native/juce_linux_EventLoopInternal.h>

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

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
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        if (!juce::dispatchNextMessageOnSystemQueue(true)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline void runFor(std::chrono::milliseconds duration) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    runUntil([&] { return std::chrono::steady_clock::now() >= deadline; }, duration * 2);
}

// The descriptors the framework's event loop watches.
inline std::vector<int> watchedDescriptors() { return juce::LinuxEventLoopInternal::getRegisteredFds(); }

}  // namespace uiplatformtest
