// The updater's side of the bus in the hidraw tests: a manager that takes every device,
// names it by its serial number and records its events on this thread's run loop.
#pragma once

#include <IOKit/hid/IOHIDManager.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "../simulator/Host.h"
#include "TestSupport.h"

namespace hidrawtest {

using simtest::numberProperty;
using simtest::textProperty;

struct Input {
    std::string device;
    uint32_t reportID;
    std::vector<uint8_t> bytes;  // as they stand in the 1024-byte buffer
    CFIndex length;              // as the callback was told
};

class Watcher {
public:
    Watcher() {
        m_manager = IOHIDManagerCreate(nullptr, 0);
        IOHIDManagerSetDeviceMatching(m_manager, nullptr);
        IOHIDManagerRegisterDeviceMatchingCallback(m_manager, &Watcher::onArrival, this);
        IOHIDManagerScheduleWithRunLoop(m_manager, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
        IOHIDManagerOpen(m_manager, 0);
    }
    ~Watcher() {
        for (auto& [device, slot] : m_slots) {
            IOHIDDeviceRegisterRemovalCallback(device, nullptr, nullptr);
            IOHIDDeviceRegisterInputReportCallback(device, slot->buffer, sizeof slot->buffer, nullptr, nullptr);
            IOHIDDeviceUnscheduleFromRunLoop(device, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
            CFRelease(device);
        }
        IOHIDManagerRegisterDeviceMatchingCallback(m_manager, nullptr, nullptr);
        IOHIDManagerUnscheduleFromRunLoop(m_manager, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
        IOHIDManagerClose(m_manager, 0);
        CFRelease(m_manager);
    }
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

    // "arrival NAME", "removal NAME".
    std::vector<std::string> events() const { return m_events; }
    const std::vector<Input>& inputs() const { return m_inputs; }
    bool pumpUntilEvents(size_t count) {
        return ktrtest::pumpUntil([&] { return m_events.size() >= count; });
    }
    bool pumpUntilInputs(size_t count) {
        return ktrtest::pumpUntil([&] { return m_inputs.size() >= count; }, std::chrono::seconds(20));
    }

    // The device of that name that arrived last, retained by the watcher; null when none did.
    IOHIDDeviceRef device(const std::string& name) const {
        IOHIDDeviceRef found = nullptr;
        for (const auto& [device, slot] : m_slots)
            if (slot->name == name && (found == nullptr || slot->order > m_slots.at(found)->order)) found = device;
        return found;
    }

    IOReturn send(const std::string& name, const std::vector<uint8_t>& bytes, uint32_t reportID = 0,
                  IOHIDReportType type = kIOHIDReportTypeOutput) const {
        IOHIDDeviceRef d = device(name);
        if (d == nullptr) return kIOReturnNoDevice;
        return IOHIDDeviceSetReport(d, type, reportID, bytes.data(), static_cast<CFIndex>(bytes.size()));
    }

private:
    struct Slot {
        std::string name;
        int order;
        uint8_t buffer[1024] = {};
    };

    static std::string nameOf(IOHIDDeviceRef device) { return textProperty(device, kIOHIDSerialNumberKey); }

    static void onArrival(void* context, IOReturn, void*, IOHIDDeviceRef device) {
        auto* self = static_cast<Watcher*>(context);
        CFRetain(device);
        auto slot = std::make_unique<Slot>();
        slot->name = nameOf(device);
        slot->order = self->m_order++;
        IOHIDDeviceRegisterRemovalCallback(device, &Watcher::onRemoval, self);
        IOHIDDeviceRegisterInputReportCallback(device, slot->buffer, sizeof slot->buffer, &Watcher::onInput, self);
        IOHIDDeviceScheduleWithRunLoop(device, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
        self->m_events.push_back("arrival " + slot->name);
        self->m_slots.emplace(device, std::move(slot));
    }

    static void onRemoval(void* context, IOReturn, void* sender) {
        auto* self = static_cast<Watcher*>(context);
        const auto it = self->m_slots.find(static_cast<IOHIDDeviceRef>(sender));
        if (it != self->m_slots.end()) self->m_events.push_back("removal " + it->second->name);
    }

    static void onInput(void* context, IOReturn, void* sender, IOHIDReportType, uint32_t reportID, uint8_t* report,
                        CFIndex length) {
        auto* self = static_cast<Watcher*>(context);
        const auto it = self->m_slots.find(static_cast<IOHIDDeviceRef>(sender));
        if (it == self->m_slots.end()) return;
        const size_t kept = std::min(static_cast<size_t>(length), sizeof it->second->buffer);
        self->m_inputs.push_back({it->second->name, reportID, std::vector<uint8_t>(report, report + kept), length});
    }

    IOHIDManagerRef m_manager = nullptr;
    std::map<IOHIDDeviceRef, std::unique_ptr<Slot>> m_slots;
    std::vector<std::string> m_events;
    std::vector<Input> m_inputs;
    int m_order = 0;
};

}  // namespace hidrawtest
