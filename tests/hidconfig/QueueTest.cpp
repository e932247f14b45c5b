// Element queues: life cycle, element sets, events, and values arriving from another thread.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "ElementBus.h"
#include "HID_Queue_Utilities.h"

using namespace hidconfig;

namespace {

// Stands for "not written" in out-variables.
IOHIDValueRef const kUntouched = reinterpret_cast<IOHIDValueRef>(static_cast<uintptr_t>(0x5EED));

using Events = std::vector<std::pair<IOHIDElementCookie, CFIndex>>;

class QueueTest : public PadTest {
protected:
    void TearDown() override {
        for (IOHIDDeviceRef device : {m_device, m_other})
            if (device && IOHIDDevice_GetQueue(device)) HIDDequeueDevice(device);
        PadTest::TearDown();
    }
    bool queued(IOHIDElementCookie cookie) const {
        IOHIDQueueRef queue = IOHIDDevice_GetQueue(m_device);
        return queue && IOHIDQueueContainsElement(queue, element(cookie));
    }
    // Every queued value as (cookie, value), oldest first; the last poll stores null.
    Events events() const {
        Events out;
        IOHIDValueRef value = kUntouched;
        while (HIDGetEvent(m_device, &value)) {
            out.emplace_back(IOHIDElementGetCookie(IOHIDValueGetElement(value)), IOHIDValueGetIntegerValue(value));
            CFRelease(value);
        }
        EXPECT_EQ(value, nullptr);
        return out;
    }

    IOHIDDeviceRef m_other = nullptr;
};

TEST_F(QueueTest, QueueingAnElementMakesOneRunningQueueAndAddsTheElementOnce) {
    EXPECT_EQ(HIDQueueElement(m_device, element(kButton1)), kIOReturnSuccess);
    IOHIDQueueRef queue = IOHIDDevice_GetQueue(m_device);
    ASSERT_NE(queue, nullptr);
    EXPECT_EQ(IOHIDQueueGetDepth(queue), 50);
    EXPECT_EQ(HIDQueueElement(m_device, element(kButton1)), kIOReturnSuccess);
    EXPECT_EQ(IOHIDDevice_GetQueue(m_device), queue);
    EXPECT_TRUE(queued(kButton1));
    EXPECT_FALSE(queued(kButton2));
    m_pad->setElementValue(kButton1, 1);
    m_pad->setElementValue(kButton2, 1);
    EXPECT_EQ(events(), (Events{{kButton1, 1}}));
}

TEST_F(QueueTest, QueueingTheDeviceTakesInputsOutputsAndFeaturesButNoCollections) {
    EXPECT_EQ(HIDQueueDevice(m_device), kIOReturnSuccess);
    for (IOHIDElementCookie cookie : {kButton1, kButton2, kAxis, kOutput, kFeature}) EXPECT_TRUE(queued(cookie));
    EXPECT_FALSE(queued(kCollection));
    // A second time adds nothing twice.
    EXPECT_EQ(HIDQueueDevice(m_device), kIOReturnSuccess);
    m_pad->setElementValue(kAxis, 200);
    m_pad->setElementValue(kFeature, 1);
    m_pad->setElementValue(kAxis, 3);
    EXPECT_EQ(events(), (Events{{kAxis, 200}, {kFeature, 1}, {kAxis, 3}}));
}

TEST_F(QueueTest, DequeueingTheLastOfTheDevicesElementsDisposesTheQueue) {
    ASSERT_EQ(HIDQueueElement(m_device, element(kButton1)), kIOReturnSuccess);
    ASSERT_EQ(HIDQueueElement(m_device, element(kAxis)), kIOReturnSuccess);
    IOHIDQueueRef queue = IOHIDDevice_GetQueue(m_device);
    // Not queued: nothing changes, and the queue runs on.
    EXPECT_EQ(HIDDequeueElement(m_device, element(kButton2)), kIOReturnSuccess);
    EXPECT_EQ(HIDDequeueElement(m_device, element(kButton1)), kIOReturnSuccess);
    EXPECT_EQ(IOHIDDevice_GetQueue(m_device), queue);
    m_pad->setElementValue(kButton1, 1);
    m_pad->setElementValue(kAxis, 9);
    EXPECT_EQ(events(), (Events{{kAxis, 9}}));

    EXPECT_EQ(HIDDequeueElement(m_device, element(kAxis)), kIOReturnSuccess);
    EXPECT_EQ(IOHIDDevice_GetQueue(m_device), nullptr);
    // A later queueing call makes a new queue.
    EXPECT_EQ(HIDQueueElement(m_device, element(kAxis)), kIOReturnSuccess);
    EXPECT_TRUE(queued(kAxis));

    // A queue holding only collections is disposed by the next dequeue.
    EXPECT_EQ(HIDDequeueDevice(m_device), kIOReturnSuccess);
    ASSERT_EQ(HIDQueueElement(m_device, element(kCollection)), kIOReturnSuccess);
    EXPECT_TRUE(queued(kCollection));
    EXPECT_EQ(HIDDequeueElement(m_device, element(kButton1)), kIOReturnSuccess);
    EXPECT_EQ(IOHIDDevice_GetQueue(m_device), nullptr);
}

TEST_F(QueueTest, DequeueingTheDeviceDisposesTheQueueAndCallsWithoutAQueueOrWithNullsAreRefused) {
    ASSERT_EQ(HIDQueueDevice(m_device), kIOReturnSuccess);
    m_pad->setElementValue(kAxis, 5);
    EXPECT_EQ(HIDDequeueDevice(m_device), kIOReturnSuccess);
    EXPECT_EQ(IOHIDDevice_GetQueue(m_device), nullptr);
    IOHIDValueRef value = kUntouched;
    EXPECT_FALSE(HIDGetEvent(m_device, &value));
    EXPECT_FALSE(HIDGetEvent(nullptr, &value));
    EXPECT_EQ(value, kUntouched);
    EXPECT_EQ(HIDDequeueElement(m_device, element(kAxis)), kIOReturnError);
    EXPECT_EQ(HIDDequeueDevice(m_device), kIOReturnError);

    EXPECT_EQ(HIDQueueElement(nullptr, element(kAxis)), kIOReturnBadArgument);
    EXPECT_EQ(HIDQueueElement(m_device, nullptr), kIOReturnBadArgument);
    EXPECT_EQ(HIDQueueDevice(nullptr), kIOReturnBadArgument);
    EXPECT_EQ(HIDDequeueElement(nullptr, element(kAxis)), kIOReturnBadArgument);
    EXPECT_EQ(HIDDequeueElement(m_device, nullptr), kIOReturnBadArgument);
    EXPECT_EQ(HIDDequeueDevice(nullptr), kIOReturnBadArgument);
    EXPECT_EQ(IOHIDDevice_GetQueue(m_device), nullptr);

    // The device's queue exists but no value pointer is given: nothing is taken.
    ASSERT_EQ(HIDQueueElement(m_device, element(kAxis)), kIOReturnSuccess);
    m_pad->setElementValue(kAxis, 7);
    EXPECT_FALSE(HIDGetEvent(m_device, nullptr));
    EXPECT_EQ(events(), (Events{{kAxis, 7}}));
}

TEST_F(QueueTest, QueueKeepsTheNewestFiftyValues) {
    ASSERT_EQ(HIDQueueElement(m_device, element(kAxis)), kIOReturnSuccess);
    for (CFIndex v = 1; v <= 60; ++v) m_pad->setElementValue(kAxis, v);
    Events expected;
    for (CFIndex v = 11; v <= 60; ++v) expected.emplace_back(kAxis, v);
    EXPECT_EQ(events(), expected);
}

TEST_F(QueueTest, ValuesFromAnotherThreadArriveInOrder) {
    ASSERT_EQ(HIDQueueDevice(m_device), kIOReturnSuccess);
    const CFIndex count = 40;
    std::thread mover([pad = m_pad] {
        for (CFIndex v = 1; v <= count; ++v) {
            pad->setElementValue(kAxis, v);
            std::this_thread::yield();
        }
    });
    Events received;
    // Bounded only so that a lost value fails the test instead of hanging it.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (received.size() < static_cast<size_t>(count) && std::chrono::steady_clock::now() < giveUp) {
        IOHIDValueRef value = nullptr;
        if (HIDGetEvent(m_device, &value)) {
            received.emplace_back(IOHIDElementGetCookie(IOHIDValueGetElement(value)), IOHIDValueGetIntegerValue(value));
            CFRelease(value);
        } else {
            std::this_thread::yield();
        }
    }
    mover.join();
    Events expected;
    for (CFIndex v = 1; v <= count; ++v) expected.emplace_back(kAxis, v);
    EXPECT_EQ(received, expected);
}

TEST_F(QueueTest, ReleasingAllQueuesReportsTheLastDevice) {
    EXPECT_EQ(HIDReleaseAllDeviceQueues(), kIOReturnSuccess);  // no list yet
    m_other = plug(padInfo(100, 7, 0x2000))->ref();
    ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    ASSERT_EQ(HIDGetFirstDevice(), m_device);

    // The last device has no queue: its failure is the result, the first is released all the same.
    ASSERT_EQ(HIDQueueDevice(m_device), kIOReturnSuccess);
    EXPECT_EQ(HIDReleaseAllDeviceQueues(), kIOReturnError);
    EXPECT_EQ(IOHIDDevice_GetQueue(m_device), nullptr);
    // Only the first fails now.
    ASSERT_EQ(HIDQueueDevice(m_other), kIOReturnSuccess);
    EXPECT_EQ(HIDReleaseAllDeviceQueues(), kIOReturnSuccess);
    EXPECT_EQ(IOHIDDevice_GetQueue(m_other), nullptr);

    ASSERT_EQ(HIDQueueDevice(m_device), kIOReturnSuccess);
    ASSERT_EQ(HIDQueueElement(m_other, elementWithCookie(m_other, kAxis)), kIOReturnSuccess);
    EXPECT_EQ(HIDReleaseAllDeviceQueues(), kIOReturnSuccess);
    EXPECT_EQ(IOHIDDevice_GetQueue(m_device), nullptr);
    EXPECT_EQ(IOHIDDevice_GetQueue(m_other), nullptr);
}

TEST_F(QueueTest, ElementOfAnotherKindStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    IOHIDElementRef notAnElement = reinterpret_cast<IOHIDElementRef>(m_device);
    EXPECT_DEATH(HIDQueueElement(m_device, notAnElement),
                 "IOHIDElementGetTypeID\\(\\) == CFGetTypeID\\(inIOHIDElementRef\\)");
    EXPECT_DEATH(HIDDequeueElement(m_device, notAnElement),
                 "IOHIDElementGetTypeID\\(\\) == CFGetTypeID\\(inIOHIDElementRef\\)");
}

}  // namespace
