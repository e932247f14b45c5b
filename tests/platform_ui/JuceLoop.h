// The framework's message thread for the tests: started once per process, driven by the test's own thread.
#pragma once

#include <juce_events/juce_events.h>

#include <chrono>
#include <functional>
#include <vector>

namespace uiplatformtest {

// Runs the framework's event loop until the predicate holds; false when it still does not after the time-out,
// which only keeps a broken test from hanging.
bool runUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout = std::chrono::seconds(20));

// Runs the framework's event loop for a while.
void runFor(std::chrono::milliseconds duration);

// The descriptors the framework's event loop watches.
std::vector<int> watchedDescriptors();

}  // namespace uiplatformtest
