// Element queues: life cycle, element sets, events and refusals. The platform's queue creation and
// element adding are wrapped by the linker, to make creation fail and to see every element handed over.
#include "ElementBus.h"

using namespace hidconfig;

namespace {
bool g_failCreate = false;
int g_creates = 0;
std::string g_added;  // the cookies handed over, as a platform queue that keeps duplicates would hold them
}  // namespace

extern "C" {
IOHIDQueueRef __real_IOHIDQueueCreate(CFAllocatorRef, IOHIDDeviceRef, CFIndex, IOOptionBits);
IOHIDQueueRef __wrap_IOHIDQueueCreate(CFAllocatorRef allocator, IOHIDDeviceRef device, CFIndex depth,
                                      IOOptionBits options) {
    ++g_creates;
    return g_failCreate ? nullptr : __real_IOHIDQueueCreate(allocator, device, depth, options);
}
void __real_IOHIDQueueAddElement(IOHIDQueueRef, IOHIDElementRef);
void __wrap_IOHIDQueueAddElement(IOHIDQueueRef queue, IOHIDElementRef element) {
    g_added += std::to_string(IOHIDElementGetCookie(element));
    __real_IOHIDQueueAddElement(queue, element);
}
}

namespace {

class QueueTest : public PadTest {
protected:
    void SetUp() override { PadTest::SetUp(), g_failCreate = false, g_creates = 0, g_added.clear(); }
    void TearDown() override {
        for (IOHIDDeviceRef device : {m_device, m_other})
            if (device && IOHIDDevice_GetQueue(device)) HIDDequeueDevice(device);
        PadTest::TearDown();
    }
    // A result and what the pad's queue then holds: "-" for no queue, else the cookies in it.
    std::string step(IOReturn result) const {
        std::string out = result == kIOReturnSuccess ? "ok " : result == kIOReturnError ? "error " : "bad ";
        IOHIDQueueRef queue = IOHIDDevice_GetQueue(m_device);
        for (IOHIDElementRef element : elementsOf(m_device))
            if (IOHIDQueueContainsElement(queue, element)) out += std::to_string(IOHIDElementGetCookie(element));
        return queue ? out : out + "-";
    }
    // Every queued value as cookie=value, oldest first; the last poll stores null.
    std::string events() const {
        std::string out;
        IOHIDValueRef value = reinterpret_cast<IOHIDValueRef>(const_cast<QueueTest*>(this));
        for (; HIDGetEvent(m_device, &value); CFRelease(value))
            out += std::to_string(IOHIDElementGetCookie(IOHIDValueGetElement(value))) + "=" +
                   std::to_string(IOHIDValueGetIntegerValue(value)) + " ";
        return value ? "not null" : out;
    }

    IOHIDDeviceRef m_other = nullptr;
};

TEST_F(QueueTest, OneRunningQueueOfFiftyTakesEachElementOnceAndTheDevicesInputsOutputsAndFeatures) {
    EXPECT_EQ(step(HIDQueueElement(m_device, element(kButton1))), "ok 2");
    EXPECT_EQ(IOHIDQueueGetDepth(IOHIDDevice_GetQueue(m_device)), 50);
    EXPECT_EQ(step(HIDQueueElement(m_device, element(kButton1))), "ok 2");
    m_pad->setElementValue(kButton1, 1), m_pad->setElementValue(kButton2, 1);
    EXPECT_EQ(events(), "2=1 ");
    EXPECT_EQ(step(HIDQueueDevice(m_device)), "ok 2345678");
    EXPECT_EQ(step(HIDQueueDevice(m_device)), "ok 2345678");
    EXPECT_EQ(g_added, "2345678");
    EXPECT_EQ(g_creates, 1);
    m_pad->setElementValue(kFeature, 1);
    EXPECT_EQ(events(), "6=1 ");
}

TEST_F(QueueTest, DequeueingTheLastOfTheDevicesElementsDisposesTheQueue) {
    HIDQueueElement(m_device, element(kButton1)), HIDQueueElement(m_device, element(kAxis));
    EXPECT_EQ(step(HIDDequeueElement(m_device, element(kButton2))), "ok 24");
    EXPECT_EQ(step(HIDDequeueElement(m_device, element(kButton1))), "ok 4");
    m_pad->setElementValue(kButton1, 1), m_pad->setElementValue(kAxis, 9);
    EXPECT_EQ(events(), "4=9 ");  // still running
    EXPECT_EQ(step(HIDDequeueElement(m_device, element(kAxis))), "ok -");
    EXPECT_EQ(step(HIDQueueElement(m_device, element(kAxis))), "ok 4");
    EXPECT_EQ(step(HIDDequeueDevice(m_device)), "ok -");
    // A queue holding only collections is disposed by the next dequeue.
    EXPECT_EQ(step(HIDQueueElement(m_device, element(kCollection))), "ok 1");
    EXPECT_EQ(step(HIDDequeueElement(m_device, element(kButton1))), "ok -");
}

TEST_F(QueueTest, CallsWithoutAQueueOrWithNullsAreRefused) {
    IOHIDValueRef const untouched = reinterpret_cast<IOHIDValueRef>(this);
    IOHIDValueRef value = untouched;
    EXPECT_FALSE(HIDGetEvent(m_device, &value) || HIDGetEvent(nullptr, &value) || value != untouched);
    EXPECT_EQ(step(HIDDequeueElement(m_device, element(kAxis))), "error -");
    EXPECT_EQ(step(HIDDequeueDevice(m_device)), "error -");
    for (IOReturn refused :
         {HIDQueueElement(nullptr, element(kAxis)), HIDQueueElement(m_device, nullptr), HIDQueueDevice(nullptr),
          HIDDequeueElement(nullptr, element(kAxis)), HIDDequeueElement(m_device, nullptr), HIDDequeueDevice(nullptr)})
        EXPECT_EQ(step(refused), "bad -");
    g_failCreate = true;  // each queueing call tries again
    EXPECT_EQ(step(HIDQueueElement(m_device, element(kAxis))), "error -");
    EXPECT_EQ(step(HIDQueueDevice(m_device)), "error -");
    EXPECT_EQ(g_creates, 2);
    // With a queue but no value pointer nothing is taken.
    g_failCreate = false, HIDQueueElement(m_device, element(kAxis)), m_pad->setElementValue(kAxis, 7);
    EXPECT_FALSE(HIDGetEvent(m_device, nullptr));
    EXPECT_EQ(events(), "4=7 ");
}

TEST_F(QueueTest, ReleasingAllQueuesReportsTheLastDevice) {
    EXPECT_EQ(HIDReleaseAllDeviceQueues(), kIOReturnSuccess);  // no list yet
    m_other = plug(padInfo(100, 7, 0x2000))->ref();
    ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    // The last device has no queue: its failure is the result, the first is released all the same.
    HIDQueueDevice(m_device);
    EXPECT_EQ(HIDReleaseAllDeviceQueues(), kIOReturnError);
    EXPECT_EQ(step(kIOReturnSuccess), "ok -");
    // Only the first fails now.
    HIDQueueElement(m_other, elementWithCookie(m_other, kAxis));
    EXPECT_EQ(HIDReleaseAllDeviceQueues(), kIOReturnSuccess);
    EXPECT_EQ(IOHIDDevice_GetQueue(m_other), nullptr);
}

}  // namespace
