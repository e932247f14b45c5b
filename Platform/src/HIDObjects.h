// Internal side of the HID manager and device objects.
#pragma once

#include <IOKit/hid/IOHIDLib.h>
#include <ktrplatform/DeviceRegistry.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "CFRuntime.h"

struct __IOHIDDevice : ktrcf::Object {
    __IOHIDDevice(CFDictionaryRef props, std::shared_ptr<ktrplatform::DeviceBackend> backend);
    ~__IOHIDDevice() override;
    std::string description() const override;

    std::mutex mutex;
    CFMutableDictionaryRef properties;
    std::shared_ptr<ktrplatform::DeviceBackend> backend;
    std::atomic<bool> attached{true};

    IOHIDCallback removalCallback = nullptr;
    void* removalContext = nullptr;
    IOHIDReportCallback inputCallback = nullptr;
    void* inputContext = nullptr;
    uint8_t* inputBuffer = nullptr;
    CFIndex inputBufferSize = 0;
    CFRunLoopRef runLoop = nullptr;  // retained while scheduled
};

struct __IOHIDManager : ktrcf::Object {
    __IOHIDManager();
    ~__IOHIDManager() override;

    // Guarded by the registry's lock.
    CFArrayRef matching = nullptr;  // null: every device
    bool open = false;
    IOHIDDeviceCallback matchingCallback = nullptr;
    void* matchingContext = nullptr;
    IOHIDDeviceCallback removalCallback = nullptr;
    void* removalContext = nullptr;
    CFRunLoopRef runLoop = nullptr;  // retained while scheduled
    std::set<IOHIDDeviceRef> announced;
};

namespace ktrplatform::detail {
// The registry's lock guards the device list and every manager's fields.
std::mutex& registryMutex();
void registerManager(IOHIDManagerRef manager);
void unregisterManager(IOHIDManagerRef manager);
// Posts the matching callback for every present device the manager has not announced yet. Lock held.
void announcePresentDevicesLocked(IOHIDManagerRef manager);
bool deviceMatchesLocked(IOHIDManagerRef manager, IOHIDDeviceRef device);
// Attached devices now, lock held.
const std::vector<IOHIDDeviceRef>& attachedDevicesLocked();
}  // namespace ktrplatform::detail
