// The updater's side of the HID bus in the simulator tests.
#pragma once

#include <IOKit/hid/IOHIDManager.h>

#include <chrono>
#include <condition_variable>
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

// The updater's side of the bus: takes the first KTR device that arrives and
// records its events on the run loop of the thread that created it.
class Host {
public:
    Host() {
        m_manager = IOHIDManagerCreate(nullptr, 0);
        IOHIDManagerSetDeviceMatching(m_manager, nullptr);
        IOHIDManagerRegisterDeviceMatchingCallback(m_manager, &Host::onArrival, this);
        IOHIDManagerScheduleWithRunLoop(m_manager, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
        IOHIDManagerOpen(m_manager, 0);
    }

    ~Host() {
        if (m_device != nullptr) {
            IOHIDDeviceRegisterRemovalCallback(m_device, nullptr, nullptr);
            IOHIDDeviceRegisterInputReportCallback(m_device, m_buffer, sizeof m_buffer, nullptr, nullptr);
            IOHIDDeviceUnscheduleFromRunLoop(m_device, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
        }
        IOHIDManagerRegisterDeviceMatchingCallback(m_manager, nullptr, nullptr);
        IOHIDManagerUnscheduleFromRunLoop(m_manager, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
        IOHIDManagerClose(m_manager, 0);
        CFRelease(m_manager);
    }

    IOHIDDeviceRef device() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_device;
    }
    bool waitForDevice(std::chrono::milliseconds timeout = 10s) {
        return ktrtest::pumpUntil([&] { return device() != nullptr; }, timeout);
    }

    std::vector<std::string> events() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }
    bool pumpUntilEvents(size_t count, std::chrono::milliseconds timeout = 10s) {
        return ktrtest::pumpUntil([&] { return events().size() >= count; }, timeout);
    }
    std::vector<std::vector<uint8_t>> inputs() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_inputs;
    }
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
        if (send(report) != kIOReturnSuccess) return std::nullopt;
        if (!ktrtest::pumpUntil([&] { return inputs().size() > before; })) return std::nullopt;
        return inputs()[before];
    }

    // From a worker while another thread pumps, as the updater's transfer does.
    std::optional<std::vector<uint8_t>> exchangeFromWorker(const std::vector<uint8_t>& report) {
        size_t before;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            before = m_inputs.size();
        }
        if (send(report) != kIOReturnSuccess) return std::nullopt;
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_changed.wait_for(lock, 10s, [&] { return m_inputs.size() > before; })) return std::nullopt;
        return m_inputs[before];
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
        {
            std::lock_guard<std::mutex> lock(host->m_mutex);
            host->m_events.push_back("input");
            const size_t kept = std::min(static_cast<size_t>(length), sizeof host->m_buffer);
            host->m_inputs.emplace_back(report, report + kept);
            host->m_lengths.push_back(length);
        }
        host->m_changed.notify_all();
    }

    IOHIDManagerRef m_manager = nullptr;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    IOHIDDeviceRef m_device = nullptr;
    uint8_t m_buffer[1024] = {};
    std::vector<std::string> m_events;
    std::vector<std::vector<uint8_t>> m_inputs;
    std::vector<CFIndex> m_lengths;
};

using Events = std::vector<std::string>;

}  // namespace simtest
