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

class QueueSeamTest : public BusTest {
protected:
    void SetUp() override {
        BusTest::SetUp();
        g_failCreate = false;
        g_creates = 0;
        m_device = plug(padInfo(100, 7, 0x1000))->ref();
    }
    void TearDown() override {
        g_failCreate = false;
        if (IOHIDDevice_GetQueue(m_device)) HIDDequeueDevice(m_device);
        BusTest::TearDown();
    }
    IOHIDDeviceRef m_device = nullptr;
};

TEST_F(QueueSeamTest, QueueThatCannotBeMadeFailsTheQueueingCalls) {
    g_failCreate = true;
    EXPECT_EQ(HIDQueueElement(m_device, elementWithCookie(m_device, kAxis)), kIOReturnError);
    EXPECT_EQ(HIDQueueDevice(m_device), kIOReturnError);
    EXPECT_EQ(IOHIDDevice_GetQueue(m_device), nullptr);
    EXPECT_EQ(g_creates, 2);

    g_failCreate = false;
    EXPECT_EQ(HIDQueueDevice(m_device), kIOReturnSuccess);
    EXPECT_NE(IOHIDDevice_GetQueue(m_device), nullptr);
}

TEST_F(QueueSeamTest, ExistingQueueIsNotMadeAgain) {
    ASSERT_EQ(HIDQueueElement(m_device, elementWithCookie(m_device, kAxis)), kIOReturnSuccess);
    ASSERT_EQ(HIDQueueElement(m_device, elementWithCookie(m_device, kButton1)), kIOReturnSuccess);
    ASSERT_EQ(HIDQueueDevice(m_device), kIOReturnSuccess);
    EXPECT_EQ(g_creates, 1);
}

}  // namespace
