#include <gtest/gtest.h>
#include <ktrplatform/MessageThreadRunLoop.h>
#include <ktrplatform/RunLoopHook.h>

#include "JuceLoop.h"
#include "TestSupport.h"

namespace ktrcf {
// How the platform's event sources, the HID manager's among them, hand their work to a thread's run loop.
void postToRunLoop(CFRunLoopRef runLoop, std::function<void()> work);
}  // namespace ktrcf

// A driver runs the run loop's work on the message thread, work posted before it started too; a run loop has one
// driver; a driver may end from within the work it runs, or while work is pending, which then waits for the run
// loop itself.
TEST(MessageThreadRunLoop, RunsTheWorkOnTheMessageThreadWhileItLives) {
    int ran = 0;
    const auto post = [&](std::function<void()> then) {
        ktrcf::postToRunLoop(CFRunLoopGetCurrent(), [&, then] {
            EXPECT_TRUE(juce::MessageManager::getInstance()->isThisTheMessageThread());
            ++ran;
            then();
        });
    };

    post([] {});
    auto driver = std::make_unique<ktrplatform::MessageThreadRunLoop>();
    EXPECT_TRUE(driver->isAttached());
    EXPECT_FALSE(ktrplatform::MessageThreadRunLoop().isAttached());
    EXPECT_TRUE(uiplatformtest::runUntil([&] { return ran == 1; })) << "a second driver's end stopped the first";
    post([&] { driver.reset(); });
    EXPECT_TRUE(uiplatformtest::runUntil([&] { return driver == nullptr; }));
    const auto fds = uiplatformtest::watchedDescriptors();
    EXPECT_EQ(std::count(fds.begin(), fds.end(), KTRRunLoopGetWakeDescriptor(CFRunLoopGetCurrent())), 0);

    // Ended by a message that the event loop handles in the same pass as the pending work, and before it: the
    // framework's descriptor is the older one.
    driver = std::make_unique<ktrplatform::MessageThreadRunLoop>();
    EXPECT_TRUE(driver->isAttached()) << "the descriptor of the ended one is free again";
    bool late = false;
    post([&] { late = driver == nullptr; });
    juce::MessageManager::callAsync([&] { driver.reset(); });
    EXPECT_TRUE(uiplatformtest::runUntil([&] { return driver == nullptr; }));
    EXPECT_FALSE(late) << "work run by an ended driver";
    EXPECT_TRUE(ktrtest::pumpUntil([&] { return ran == 3; })) << "the work is still there for the run loop";
}
