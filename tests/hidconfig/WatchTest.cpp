// Watching elements for the control the user moves. Controls are moved from another thread
// for as long as a watch runs; watches that must find nothing get short time-outs.
#include <gtest/gtest.h>

#include <cmath>

#include "ElementBus.h"
#include "HID_Config_Utilities.h"

using namespace hidconfig;

namespace {

// Processor seconds: ends a watch whose control was never seen moving instead of hanging.
const float kLongWatch = 60.0f;
const float kShortWatch = 0.2f;

using WatchTest = PadTest;

TEST_F(WatchTest, SingleDeviceWatchNeedsAListADeviceAndElementsAndEndsAfterOnePassOnAShortTimeOut) {
    EXPECT_FALSE(HIDConfigureSingleDeviceAction(m_device, &m_element, 0));
    EXPECT_EQ(m_element, kNoElement);
    ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    EXPECT_FALSE(HIDConfigureSingleDeviceAction(nullptr, &m_element, 0));
    EXPECT_EQ(m_element, kNoElement);
    EXPECT_FALSE(HIDConfigureSingleDeviceAction(m_device, nullptr, 0));
    EXPECT_FALSE(HIDConfigureSingleDeviceAction(plug(padInfo(100, 8, 0x2000, {}))->ref(), &m_element, kLongWatch));
    EXPECT_EQ(m_element, nullptr);

    // A time-out that is zero, negative or not a number.
    for (float timeout : {0.0f, -1.0f, std::nanf("")}) {
        m_element = kNoElement;
        EXPECT_FALSE(HIDConfigureSingleDeviceAction(m_device, &m_element, timeout));
        EXPECT_EQ(m_element, nullptr);
    }
}

TEST_F(WatchTest, SingleDeviceWatchFindsAButtonThatChanges) {
    ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    Wiggler button(m_pad, kButton2, 0, 1);
    EXPECT_TRUE(HIDConfigureSingleDeviceAction(m_device, &m_element, kLongWatch));
    EXPECT_EQ(m_element, element(kButton2));
}

// A tenth of the logical range 0..255 is 25: the axis must move by more than that. Outputs
// and features are not watched.
TEST_F(WatchTest, SingleDeviceWatchWantsAnInputMovingMoreThanATenthOfTheLogicalRange) {
    ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    m_pad->setElementValue(kAxis, 100);
    {
        Wiggler axis(m_pad, kAxis, 100, 125), output(m_pad, kOutput, 0, 1), feature(m_pad, kFeature, 0, 1);
        EXPECT_FALSE(HIDConfigureSingleDeviceAction(m_device, &m_element, kShortWatch));
        EXPECT_EQ(m_element, nullptr);
    }
    m_pad->setElementValue(kAxis, 100);
    Wiggler axis(m_pad, kAxis, 100, 126);
    EXPECT_TRUE(HIDConfigureSingleDeviceAction(m_device, &m_element, kLongWatch));
    EXPECT_EQ(m_element, element(kAxis));
}

TEST_F(WatchTest, AllDevicesWatchBuildsAMissingListAndRefusesNullOuts) {
    EXPECT_FALSE(HIDConfigureAction(nullptr, &m_element, 0));
    EXPECT_FALSE(HIDConfigureAction(&m_found, nullptr, 0));
    EXPECT_EQ(m_found, kNoDevice);
    EXPECT_EQ(m_element, kNoElement);
    EXPECT_FALSE(HIDHaveDeviceList());

    EXPECT_FALSE(HIDConfigureAction(&m_found, &m_element, 0));
    EXPECT_TRUE(HIDHaveDeviceList());
    EXPECT_EQ(m_found, nullptr);
    EXPECT_EQ(m_element, nullptr);
}

TEST_F(WatchTest, AllDevicesWatchFindsTheDeviceAndElementThatMoved) {
    auto other = plug(padInfo(100, 7, 0x2000));
    ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    Wiggler axis(other, kAxis, 0, 200);
    EXPECT_TRUE(HIDConfigureAction(&m_found, &m_element, kLongWatch));
    EXPECT_EQ(m_found, other->ref());
    EXPECT_EQ(m_element, elementWithCookie(other->ref(), kAxis));
}

// A tenth of the physical range 0..1000 is 100: a change of 100 is enough, 99 is not.
TEST_F(WatchTest, AllDevicesWatchWantsATenthOfThePhysicalRange) {
    auto wide = plug(padInfo(100, 9, 0x2000, {ElementInfo::axis(1, 0x31, 0, 1000, 0, 1000)}));
    ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    {
        Wiggler axis(wide, 1, 0, 99);
        EXPECT_FALSE(HIDConfigureAction(&m_found, &m_element, kShortWatch));
        EXPECT_EQ(m_found, nullptr);
        EXPECT_EQ(m_element, nullptr);
    }
    wide->setElementValue(1, 0);
    Wiggler axis(wide, 1, 0, 100);
    EXPECT_TRUE(HIDConfigureAction(&m_found, &m_element, kLongWatch));
    EXPECT_EQ(m_found, wide->ref());
}

TEST_F(WatchTest, AllDevicesWatchSkipsArraysCountedElementsAndReservedUsages) {
    ElementInfo array = ElementInfo::axis(1, 0x30, 0, 255, 0, 255);
    array.isArray = true;
    ElementInfo counted = ElementInfo::axis(1, 0x31, 0, 255, 0, 255);
    counted.reportCount = 2;
    ElementInfo reservedPage = ElementInfo::axis(15, 0x32, 0, 255, 0, 255);
    ElementInfo reservedUsage = ElementInfo::axis(1, 0xFFFFFFFF, 0, 255, 0, 255);
    ElementInfo feature = ElementInfo::feature(1, 0x33, 8, 1);
    auto odd = plug(padInfo(100, 9, 0x2000, {array, counted, reservedPage, reservedUsage, feature}));
    ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    Wiggler a(odd, 1, 0, 200), b(odd, 2, 0, 200), c(odd, 3, 0, 200), d(odd, 4, 0, 200), e(odd, 5, 0, 1);
    EXPECT_FALSE(HIDConfigureAction(&m_found, &m_element, kShortWatch));
    EXPECT_EQ(m_found, nullptr);
}

// With nothing to scale against, any change counts.
TEST_F(WatchTest, AllDevicesWatchCountsAnyChangeOverAnEmptyPhysicalRange) {
    auto flat = plug(padInfo(100, 9, 0x2000, {ElementInfo::axis(1, 0x30, 0, 10, 5, 5)}));
    ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    EXPECT_FALSE(HIDConfigureAction(&m_found, &m_element, kShortWatch));
    flat->setElementValue(1, 3);
    Wiggler axis(flat, 1, 3, 4);
    EXPECT_TRUE(HIDConfigureAction(&m_found, &m_element, kLongWatch));
    EXPECT_EQ(m_found, flat->ref());
}

}  // namespace
