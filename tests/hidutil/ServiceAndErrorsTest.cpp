// Service objects behind devices, and the error reporters' formatting.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "DazoHIDUtilAddOn.h"
#include "HID_Error_Handler.h"
#include "HidUtilFixture.h"

using namespace hidutiltest;

namespace {

class ServiceLookupTest : public LibraryTest {};

TEST_F(ServiceLookupTest, ServicesAreFoundByLocationAndFreedOnce) {
    IOHIDDeviceRef first = plug(plainDevice(1, 1, 0x14100000))->ref();
    IOHIDDeviceRef second = plug(plainDevice(1, 1, 0x14200000))->ref();

    io_service_t a = AllocateHIDObjectFromIOHIDDeviceRef(first);
    io_service_t b = AllocateHIDObjectFromIOHIDDeviceRef(second);
    io_service_t again = AllocateHIDObjectFromIOHIDDeviceRef(first);
    EXPECT_NE(a, 0u);
    EXPECT_NE(b, 0u);
    EXPECT_NE(a, b);

    EXPECT_TRUE(FreeHIDObject(a));
    EXPECT_TRUE(FreeHIDObject(b));
    EXPECT_TRUE(FreeHIDObject(again));
    EXPECT_FALSE(FreeHIDObject(b));
    EXPECT_FALSE(FreeHIDObject(0));
}

TEST_F(ServiceLookupTest, DevicesWithoutAMatchingServiceGiveNone) {
    EXPECT_EQ(AllocateHIDObjectFromIOHIDDeviceRef(nullptr), 0u);
    IOHIDDeviceRef nowhere = plug(plainDevice(1, 1, std::nullopt))->ref();
    EXPECT_EQ(AllocateHIDObjectFromIOHIDDeviceRef(nowhere), 0u);

    // A location no attached service carries finds nothing.
    auto gone = plug(plainDevice(1, 1, 0x300));
    IOHIDDeviceRef held = gone->ref();
    CFRetain(held);
    gone->detach();
    EXPECT_EQ(AllocateHIDObjectFromIOHIDDeviceRef(held), 0u);
    CFRelease(held);
}

std::string formattedNum(const char* message, int32_t number) {
    char text[256];
    hu_FormatErrorNum(text, sizeof text, message, number);
    return text;
}

TEST(ErrorReportTest, NumbersAreShownSignedAndInHexadecimal) {
    EXPECT_EQ(formattedNum("HIDQueueDevice", static_cast<int32_t>(0xE00002BC)),
              "HIDQueueDevice #-536870212 (0xe00002bc)");
    EXPECT_EQ(formattedNum("ok", 0), "ok #0 (0x0)");
    EXPECT_EQ(formattedNum(nullptr, 42), " #42 (0x2a)");
    char text[256];
    hu_FormatError(text, sizeof text, "plain %s text");
    EXPECT_STREQ(text, "plain %s text");
    hu_FormatError(text, sizeof text, nullptr);
    EXPECT_STREQ(text, "");
}

TEST(ErrorReportTest, LongMessagesAreCutAtTheBuffer) {
    const std::string message(400, 'x');
    char text[300];
    std::memset(text, '#', sizeof text);
    hu_FormatErrorNum(text, 256, message.c_str(), -1);
    EXPECT_EQ(std::strlen(text), 255u);
    EXPECT_EQ(text[300 - 1], '#');
    EXPECT_EQ(text[256], '#');

    std::memset(text, '#', sizeof text);
    hu_FormatError(text, 256, message.c_str());
    EXPECT_EQ(std::string(text), std::string(255, 'x'));
    EXPECT_EQ(text[256], '#');

    hu_FormatError(text, 0, "nothing fits");
    EXPECT_EQ(text[0], 'x');

    // The reporters format into their own buffer; a message longer than it must not overrun it.
    HIDReportError(message.c_str());
    HIDReportErrorNum(message.c_str(), static_cast<int32_t>(0xE00002C2));
    HIDReportErrorNum(nullptr, 0);
}

}  // namespace
