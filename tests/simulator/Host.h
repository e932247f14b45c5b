// The updater's side of the HID bus in the simulator tests.
#pragma once

#include <IOKit/hid/IOHIDManager.h>
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace simtest {

using namespace std::chrono_literals;

inline std::optional<int64_t> numberProperty(IOHIDDeviceRef device, const char* key) {
    CFStringRef name = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
    auto value = static_cast<CFNumberRef>(IOHIDDeviceGetProperty(device, name));
    CFRelease(name);
    int64_t n = 0;
    if (value == nullptr || !CFNumberGetValue(value, kCFNumberSInt64Type, &n)) return std::nullopt;
    return n;
}

inline std::string textProperty(IOHIDDeviceRef device, const char* key) {
    CFStringRef name = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
    auto value = static_cast<CFStringRef>(IOHIDDeviceGetProperty(device, name));
    CFRelease(name);
    char buffer[256] = {};
    if (value == nullptr || !CFStringGetCString(value, buffer, sizeof buffer, kCFStringEncodingUTF8)) return {};
    return buffer;
}

// How a KTR-Q7 in update mode shows itself, whichever simulator stands in for it.
inline void expectKtrProperties(IOHIDDeviceRef d, int64_t product, int64_t release, std::optional<int64_t> location) {
    EXPECT_EQ(numberProperty(d, kIOHIDVendorIDKey), 0x4D2A);
    EXPECT_EQ(numberProperty(d, kIOHIDProductIDKey), product);
    EXPECT_EQ(numberProperty(d, kIOHIDVersionNumberKey), release);
    EXPECT_EQ(numberProperty(d, kIOHIDLocationIDKey), location);
    EXPECT_EQ(numberProperty(d, kIOHIDPrimaryUsagePageKey), 0xFF00);
    EXPECT_EQ(numberProperty(d, kIOHIDPrimaryUsageKey), 1);
    EXPECT_EQ(numberProperty(d, kIOHIDMaxInputReportSizeKey), 1024);
    EXPECT_EQ(numberProperty(d, kIOHIDMaxOutputReportSizeKey), 1024);
    EXPECT_EQ(textProperty(d, kIOHIDProductKey), "KTR-Q7");
    EXPECT_EQ(textProperty(d, kIOHIDManufacturerKey), "KTR");
}

// A manager that matches every device and reports arrivals on the calling thread's run loop.
inline IOHIDManagerRef openManager(IOHIDDeviceCallback onArrival, void* context) {
    IOHIDManagerRef manager = IOHIDManagerCreate(nullptr, 0);
    IOHIDManagerSetDeviceMatching(manager, nullptr);
    IOHIDManagerRegisterDeviceMatchingCallback(manager, onArrival, context);
    IOHIDManagerScheduleWithRunLoop(manager, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
    IOHIDManagerOpen(manager, 0);
    return manager;
}

// Undoes openManager, from the same thread.
inline void closeManager(IOHIDManagerRef manager) {
    IOHIDManagerRegisterDeviceMatchingCallback(manager, nullptr, nullptr);
    IOHIDManagerUnscheduleFromRunLoop(manager, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
    IOHIDManagerClose(manager, 0);
    CFRelease(manager);
}

// Takes the first KTR device that arrives and records "arrival", "input" and "removal" on the run loop
// of the thread that created it.
class Host {
public:
    Host() : m_manager(openManager(&Host::onArrival, this)) {}
    ~Host() {
        if (m_device != nullptr) {
            IOHIDDeviceRegisterRemovalCallback(m_device, nullptr, nullptr);
            IOHIDDeviceRegisterInputReportCallback(m_device, m_buffer, sizeof m_buffer, nullptr, nullptr);
            IOHIDDeviceUnscheduleFromRunLoop(m_device, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
        }
        closeManager(m_manager);
    }

    IOHIDDeviceRef device() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_device;
    }
    bool waitForDevice() {
        return ktrtest::pumpUntil([&] { return device() != nullptr; }, 10s);
    }
    std::vector<std::string> events() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }
    bool pumpUntilEvents(size_t count) {
        return ktrtest::pumpUntil([&] { return events().size() >= count; }, 10s);
    }
    std::vector<std::vector<uint8_t>> inputs() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_inputs;
    }
    // As the input callback was told them.
    std::vector<CFIndex> inputLengths() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lengths;
    }

    IOReturn send(const std::vector<uint8_t>& report, IOHIDReportType type = kIOHIDReportTypeOutput) {
        IOHIDDeviceRef d = device();
        if (d == nullptr) return kIOReturnNoDevice;
        return IOHIDDeviceSetReport(d, type, 0, report.data(), static_cast<CFIndex>(report.size()));
    }

    // From the thread that pumps the run loop: sends and pumps until the answer came.
    std::optional<std::vector<uint8_t>> exchange(const std::vector<uint8_t>& report) {
        const size_t before = inputs().size();
        if (send(report) != kIOReturnSuccess || !ktrtest::pumpUntil([&] { return inputs().size() > before; }))
            return std::nullopt;
        return inputs()[before];
    }

private:
    static void onArrival(void* context, IOReturn, void*, IOHIDDeviceRef device) {
        auto* host = static_cast<Host*>(context);
        if (numberProperty(device, kIOHIDVendorIDKey) != 0x4D2A) return;
        std::lock_guard<std::mutex> lock(host->m_mutex);
        host->m_events.push_back("arrival");
        if (host->m_device != nullptr) return;
        host->m_device = device;
        IOHIDDeviceRegisterRemovalCallback(device, &Host::onRemoval, host);
        IOHIDDeviceRegisterInputReportCallback(device, host->m_buffer, sizeof host->m_buffer, &Host::onInput, host);
        IOHIDDeviceScheduleWithRunLoop(device, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
    }

    static void onRemoval(void* context, IOReturn, void*) {
        auto* host = static_cast<Host*>(context);
        std::lock_guard<std::mutex> lock(host->m_mutex);
        host->m_events.push_back("removal");
        host->m_device = nullptr;
    }

    static void onInput(void* context, IOReturn, void*, IOHIDReportType, uint32_t, uint8_t* report, CFIndex length) {
        auto* host = static_cast<Host*>(context);
        std::lock_guard<std::mutex> lock(host->m_mutex);
        host->m_events.push_back("input");
        host->m_inputs.emplace_back(report, report + std::min(static_cast<size_t>(length), sizeof host->m_buffer));
        host->m_lengths.push_back(length);
    }

    IOHIDManagerRef m_manager;
    mutable std::mutex m_mutex;
    IOHIDDeviceRef m_device = nullptr;
    uint8_t m_buffer[1024] = {};
    std::vector<std::string> m_events;
    std::vector<std::vector<uint8_t>> m_inputs;
    std::vector<CFIndex> m_lengths;
};

using Events = std::vector<std::string>;

}  // namespace simtest
