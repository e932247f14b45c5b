// Queue operations when the platform cannot make a queue, through the linker's symbol wrapping.
#include <gtest/gtest.h>

#include "ElementBus.h"
#include "HID_Queue_Utilities.h"

using namespace hidconfig;

namespace {
bool g_failCreate = false;
int g_creates = 0;
}  // namespace

extern "C" {
IOHIDQueueRef __real_IOHIDQueueCreate(CFAllocatorRef allocator, IOHIDDeviceRef device, CFIndex depth,
                                      IOOptionBits options);
IOHIDQueueRef __wrap_IOHIDQueueCreate(CFAllocatorRef allocator, IOHIDDeviceRef device, CFIndex depth,
                                      IOOptionBits options) {
    ++g_creates;
    return g_failCreate ? nullptr : __real_IOHIDQueueCreate(allocator, device, depth, options);
}
}

namespace {

class QueueSeamTest : public PadTest {
protected:
    void SetUp() override {
        PadTest::SetUp();
        g_failCreate = false;
        g_creates = 0;
    }
    void TearDown() override {
        g_failCreate = false;
        if (IOHIDDevice_GetQueue(m_device)) HIDDequeueDevice(m_device);
        PadTest::TearDown();
    }
};

TEST_F(QueueSeamTest, QueueIsMadeOnceAndOneThatCannotBeMadeFailsTheQueueingCalls) {
    g_failCreate = true;
    EXPECT_EQ(HIDQueueElement(m_device, element(kAxis)), kIOReturnError);
    EXPECT_EQ(HIDQueueDevice(m_device), kIOReturnError);
    EXPECT_EQ(IOHIDDevice_GetQueue(m_device), nullptr);
    EXPECT_EQ(g_creates, 2);

    g_failCreate = false;
    ASSERT_EQ(HIDQueueElement(m_device, element(kAxis)), kIOReturnSuccess);
    ASSERT_EQ(HIDQueueElement(m_device, element(kButton1)), kIOReturnSuccess);
    ASSERT_EQ(HIDQueueDevice(m_device), kIOReturnSuccess);
    EXPECT_NE(IOHIDDevice_GetQueue(m_device), nullptr);
    EXPECT_EQ(g_creates, 3);
}

}  // namespace
