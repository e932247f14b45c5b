#include <IOKit/hid/IOHIDManager.h>
#include <gtest/gtest.h>
#include <ktrplatform/MessageThreadRunLoop.h>
#include <ktrplatform/RunLoopHook.h>
#include <ktrplatform/VirtualHidBus.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "JuceLoop.h"
#include "TestSupport.h"

using ktrplatform::MessageThreadRunLoop;
using uiplatformtest::runUntil;

namespace {

// Device arrivals are posted to the run loop the manager is scheduled on, from the thread that plugs them in.
class MessageThreadRunLoopTest : public ::testing::Test {
protected:
    void SetUp() override {
        IOHIDManagerSetDeviceMatching(m_manager, nullptr);
        IOHIDManagerRegisterDeviceMatchingCallback(
            m_manager,
            [](void* context, IOReturn, void*, IOHIDDeviceRef) {
                auto* self = static_cast<MessageThreadRunLoopTest*>(context);
                if (!juce::MessageManager::getInstance()->isThisTheMessageThread()) self->onOtherThread = true;
                ++self->arrivals;
                if (self->onEachArrival) self->onEachArrival();
            },
            this);
        IOHIDManagerScheduleWithRunLoop(m_manager, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
    }
    void TearDown() override {
        IOHIDManagerRegisterDeviceMatchingCallback(m_manager, nullptr, nullptr);
        m_devices.clear();
        ktrtest::pumpFor(std::chrono::milliseconds(10));
        CFRelease(m_manager);
    }

    void plugFromAnotherThread() {
        std::thread([this] {
            ktrplatform::VirtualDeviceInfo info;
            info.vendorID = 0x4D2A;
            info.productID = 0x61 + (int64_t)m_devices.size();
            info.locationID = (int64_t)m_devices.size() + 1;
            m_devices.push_back(ktrplatform::VirtualDevice::create(info));
            m_devices.back()->attach();
        }).join();
    }

    static bool wakeDescriptorWatched() {
        const auto fds = uiplatformtest::watchedDescriptors();
        return std::count(fds.begin(), fds.end(), KTRRunLoopGetWakeDescriptor(CFRunLoopGetCurrent())) > 0;
    }

    std::atomic<int> arrivals{0};
    std::atomic<bool> onOtherThread{false};
    std::function<void()> onEachArrival;

private:
    IOHIDManagerRef m_manager = IOHIDManagerCreate(kCFAllocatorDefault, 0);
    std::vector<std::shared_ptr<ktrplatform::VirtualDevice>> m_devices;
};

}  // namespace

TEST_F(MessageThreadRunLoopTest, WorkPostedFromAnotherThreadRunsOnTheMessageThread) {
    plugFromAnotherThread();  // pending before the run loop is driven: runs once it is
    MessageThreadRunLoop driver;
    ASSERT_TRUE(driver.isAttached());
    EXPECT_TRUE(wakeDescriptorWatched());
    EXPECT_TRUE(runUntil([&] { return arrivals == 1; }));
    plugFromAnotherThread();
    EXPECT_TRUE(runUntil([&] { return arrivals == 2; }));
    EXPECT_FALSE(onOtherThread);
}

TEST_F(MessageThreadRunLoopTest, AfterDestructionTheEventLoopLeavesTheWorkAlone) {
    { MessageThreadRunLoop driver; }
    EXPECT_FALSE(wakeDescriptorWatched());
    plugFromAnotherThread();
    // A message posted after the work: by the time it runs, a driven run loop would have run the work too.
    std::atomic<bool> marker{false};
    juce::MessageManager::callAsync([&] { marker = true; });
    ASSERT_TRUE(runUntil([&] { return marker.load(); }));
    EXPECT_EQ(arrivals, 0);
    EXPECT_TRUE(ktrtest::pumpUntil([&] { return arrivals == 1; })) << "the work is still there for the run loop";
}

TEST_F(MessageThreadRunLoopTest, OnlyOneDriverPerRunLoop) {
    auto first = std::make_unique<MessageThreadRunLoop>();
    ASSERT_TRUE(first->isAttached());
    EXPECT_FALSE(MessageThreadRunLoop().isAttached());
    plugFromAnotherThread();
    EXPECT_TRUE(runUntil([&] { return arrivals == 1; })) << "the second one's end left the first one driving";

    // Work may end its own driver; the work after it then waits for the run loop itself.
    onEachArrival = [&] { first.reset(); };
    plugFromAnotherThread();
    EXPECT_TRUE(runUntil([&] { return first == nullptr; }));
    EXPECT_FALSE(wakeDescriptorWatched());
    onEachArrival = nullptr;
}
