#include "JuceLoop.h"

#include <gtest/gtest.h>
#include <juce_events/native/juce_linux_EventLoopInternal.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <memory>
#include <thread>

namespace juce {
// What MessageManager::runDispatchLoopUntil() runs, which the framework leaves out without modal loops.
bool dispatchNextMessageOnSystemQueue(bool returnIfNoPendingMessages);
}  // namespace juce

namespace {

class JuceEnvironment : public ::testing::Environment {
public:
    void SetUp() override { m_juce = std::make_unique<juce::ScopedJuceInitialiser_GUI>(); }
    void TearDown() override { m_juce.reset(); }

private:
    std::unique_ptr<juce::ScopedJuceInitialiser_GUI> m_juce;
};

[[maybe_unused]] ::testing::Environment* const juceEnvironment =
    ::testing::AddGlobalTestEnvironment(new JuceEnvironment);

}  // namespace

namespace uiplatformtest {

bool runUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        if (!juce::dispatchNextMessageOnSystemQueue(true)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void runFor(std::chrono::milliseconds duration) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    runUntil([&] { return std::chrono::steady_clock::now() >= deadline; }, duration * 2);
}

std::vector<int> watchedDescriptors() { return juce::LinuxEventLoopInternal::getRegisteredFds(); }

}  // namespace uiplatformtest
