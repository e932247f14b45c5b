// Internal side of the HID manager and device objects.
#pragma once

#include <IOKit/hid/IOHIDLib.h>
#include <ktrplatform/DeviceRegistry.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "CFRuntime.h"

struct __IOHIDDevice : ktrcf::Object {
    static constexpr CFTypeID kTypeID = ktrcf::kTypeIDHIDDevice;
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

    // Retained; fixed before the device is published.
    std::vector<IOHIDElementRef> elements;
    // Guards the elements' current values and the queue list; taken before any queue's lock.
    std::mutex valueMutex;
    std::vector<IOHIDQueueRef> queues;  // not retained: a queue leaves in its destructor
};

struct __IOHIDElement : ktrcf::Object {
    static constexpr CFTypeID kTypeID = ktrcf::kTypeIDHIDElement;
    // The attributes are read from the properties' element keys.
    __IOHIDElement(CFDictionaryRef properties, IOHIDElementRef parent);
    ~__IOHIDElement() override;
    std::string description() const override;

    IOHIDElementType type;
    IOHIDElementCollectionType collectionType;
    uint32_t usagePage, usage;
    IOHIDElementCookie cookie;
    uint32_t reportID, reportSize, reportCount, unit, unitExponent;
    CFIndex logicalMin, logicalMax, physicalMin, physicalMax;
    bool isVirtual, isRelative, isWrapping, isArray, isNonLinear, hasPreferredState, hasNullState;
    CFStringRef name = nullptr;  // retained, or null

    const IOHIDElementRef parent;  // retained, or null
    // Not retained (the device owns its elements); cleared when the device goes.
    std::atomic<IOHIDDeviceRef> device{nullptr};

    std::mutex propertyMutex;
    CFMutableDictionaryRef properties;

    // Guarded by the device's valueMutex.
    CFIndex value = 0;
    uint64_t timeStamp = 0;
};

struct __IOHIDValue : ktrcf::Object {
    static constexpr CFTypeID kTypeID = ktrcf::kTypeIDHIDValue;
    __IOHIDValue(IOHIDElementRef element, uint64_t timeStamp, CFIndex value);
    ~__IOHIDValue() override;

    const IOHIDElementRef element;  // retained
    const uint64_t timeStamp;
    const CFIndex integer;
};

struct __IOHIDQueue : ktrcf::Object {
    static constexpr CFTypeID kTypeID = ktrcf::kTypeIDHIDQueue;
    __IOHIDQueue(IOHIDDeviceRef device, CFIndex depth);
    ~__IOHIDQueue() override;
    // Appends the value when the queue runs and holds its element. The device's valueMutex is held.
    void offer(IOHIDValueRef value);

    const IOHIDDeviceRef device;  // retained
    const CFIndex depth;
    std::mutex mutex;
    std::condition_variable available;
    bool running = false;
    std::vector<IOHIDElementRef> elements;  // retained
    std::deque<IOHIDValueRef> values;       // retained
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
// Whether each entry of the matching dictionary has an equal value under its key in the properties;
// an entry under specialKey is judged by specialMatches instead. The caller guards the properties.
bool propertiesMatch(CFDictionaryRef properties, CFDictionaryRef matching, CFStringRef specialKey = nullptr,
                     bool (*specialMatches)(const void* value) = nullptr);
// Attached devices now, lock held.
const std::vector<IOHIDDeviceRef>& attachedDevicesLocked();
// The device's elements from their descriptions, in order, before the device is published.
void buildElements(IOHIDDeviceRef device, const std::vector<ElementInfo>& infos);
// Nanoseconds on the monotonic clock.
uint64_t now();
}  // namespace ktrplatform::detail
