#include <ktrplatform/DeviceRegistry.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "HIDObjects.h"
#include "RunLoop.h"

namespace ktrplatform {
namespace detail {
namespace {

struct Registry {
    std::mutex mutex;
    std::vector<IOHIDDeviceRef> devices;    // retained while attached
    std::vector<IOHIDManagerRef> managers;  // not retained: a manager leaves in its destructor
};

Registry& registry() {
    // Never destroyed: devices may be detached by sources during exit.
    static Registry* r = new Registry();
    return *r;
}

struct PropertyMatch {
    CFDictionaryRef properties;
    CFStringRef specialKey;
    bool (*specialMatches)(const void* value);
    bool matches;
};

void matchProperty(const void* key, const void* value, void* context) {
    auto* m = static_cast<PropertyMatch*>(context);
    if (!m->matches) return;
    if (m->specialKey && CFEqual(key, m->specialKey)) {
        m->matches = m->specialMatches(value);
        return;
    }
    const void* property = CFDictionaryGetValue(m->properties, key);
    m->matches = property && value && CFEqual(property, value);
}

bool matchesDictionary(CFTypeRef dictionary, IOHIDDeviceRef device) {
    if (!ktrcf::isa(dictionary, ktrcf::kTypeIDDictionary)) return false;
    std::lock_guard<std::mutex> lock(device->mutex);
    return propertiesMatch(device->properties, static_cast<CFDictionaryRef>(dictionary));
}

enum class ManagerEvent { Matching, Removal };

// The callback is read when the work runs: one removed in between is not called.
void postManagerEvent(IOHIDManagerRef manager, IOHIDDeviceRef device, ManagerEvent event) {
    if (!manager->runLoop) return;
    CFRetain(manager);
    CFRetain(device);
    ktrcf::postToRunLoop(manager->runLoop, [manager, device, event] {
        IOHIDDeviceCallback callback = nullptr;
        void* context = nullptr;
        {
            std::lock_guard<std::mutex> lock(registryMutex());
            if (event == ManagerEvent::Removal) {
                callback = manager->removalCallback;
                context = manager->removalContext;
            } else if (device->attached && manager->announced.count(device)) {
                // Only what is still true when the callback would run is announced.
                callback = manager->matchingCallback;
                context = manager->matchingContext;
            }
        }
        if (callback) callback(context, kIOReturnSuccess, manager, device);
        CFRelease(device);
        CFRelease(manager);
    });
}

void postDeviceRemoval(IOHIDDeviceRef device) {
    CFRunLoopRef runLoop;
    {
        std::lock_guard<std::mutex> lock(device->mutex);
        runLoop = device->runLoop;
    }
    if (!runLoop) return;
    // The posted work keeps the device alive until its removal callback has run,
    // so a holder that does not retain it can still let go of it safely.
    CFRetain(device);
    ktrcf::postToRunLoop(runLoop, [device] {
        IOHIDCallback callback;
        void* context;
        {
            std::lock_guard<std::mutex> lock(device->mutex);
            callback = device->removalCallback;
            context = device->removalContext;
        }
        if (callback) callback(context, kIOReturnSuccess, device);
        CFRelease(device);
    });
}

}  // namespace

std::mutex& registryMutex() { return registry().mutex; }

bool propertiesMatch(CFDictionaryRef properties, CFDictionaryRef matching, CFStringRef specialKey,
                     bool (*specialMatches)(const void* value)) {
    PropertyMatch m{properties, specialKey, specialMatches, true};
    CFDictionaryApplyFunction(matching, matchProperty, &m);
    return m.matches;
}

void registerManager(IOHIDManagerRef manager) {
    std::lock_guard<std::mutex> lock(registry().mutex);
    registry().managers.push_back(manager);
}

void unregisterManager(IOHIDManagerRef manager) {
    std::lock_guard<std::mutex> lock(registry().mutex);
    auto& managers = registry().managers;
    managers.erase(std::remove(managers.begin(), managers.end(), manager), managers.end());
}

bool deviceMatchesLocked(IOHIDManagerRef manager, IOHIDDeviceRef device) {
    if (!manager->matching) return true;
    const CFIndex count = CFArrayGetCount(manager->matching);
    for (CFIndex i = 0; i < count; ++i)
        if (matchesDictionary(CFArrayGetValueAtIndex(manager->matching, i), device)) return true;
    return false;
}

void announcePresentDevicesLocked(IOHIDManagerRef manager) {
    if (!manager->matchingCallback || !manager->runLoop) return;
    for (IOHIDDeviceRef device : registry().devices) {
        if (manager->announced.count(device) || !deviceMatchesLocked(manager, device)) continue;
        manager->announced.insert(device);
        postManagerEvent(manager, device, ManagerEvent::Matching);
    }
}

const std::vector<IOHIDDeviceRef>& attachedDevicesLocked() { return registry().devices; }

}  // namespace detail

IOHIDDeviceRef attachDevice(CFDictionaryRef properties, std::shared_ptr<DeviceBackend> backend) {
    return attachDevice(properties, std::move(backend), {});
}

IOHIDDeviceRef attachDevice(CFDictionaryRef properties, std::shared_ptr<DeviceBackend> backend,
                            const std::vector<ElementInfo>& elements) {
    auto* device = new __IOHIDDevice(properties, std::move(backend));
    detail::buildElements(device, elements);
    std::lock_guard<std::mutex> lock(detail::registry().mutex);
    detail::registry().devices.push_back(device);
    for (IOHIDManagerRef manager : detail::registry().managers) detail::announcePresentDevicesLocked(manager);
    return device;
}

void detachDevice(IOHIDDeviceRef device) {
    if (!ktrcf::isa(device, ktrcf::kTypeIDHIDDevice)) return;
    {
        std::lock_guard<std::mutex> lock(detail::registry().mutex);
        auto& devices = detail::registry().devices;
        auto it = std::find(devices.begin(), devices.end(), device);
        if (it == devices.end()) return;
        devices.erase(it);
        device->attached = false;
        for (IOHIDManagerRef manager : detail::registry().managers) {
            if (manager->announced.erase(device) && manager->removalCallback)
                detail::postManagerEvent(manager, device, detail::ManagerEvent::Removal);
        }
    }
    detail::postDeviceRemoval(device);
    CFRelease(device);
}

void deliverInputReport(IOHIDDeviceRef device, IOHIDReportType type, uint32_t reportID, const uint8_t* data,
                        size_t length) {
    if (!ktrcf::isa(device, ktrcf::kTypeIDHIDDevice) || (!data && length > 0)) return;
    CFRunLoopRef runLoop;
    {
        std::lock_guard<std::mutex> lock(device->mutex);
        runLoop = device->runLoop;
    }
    if (!runLoop || !device->attached) return;
    std::vector<uint8_t> bytes(data, data + length);
    CFRetain(device);
    ktrcf::postToRunLoop(runLoop, [device, type, reportID, bytes = std::move(bytes)]() mutable {
        IOHIDReportCallback callback;
        void* context;
        uint8_t* buffer;
        CFIndex size;
        {
            std::lock_guard<std::mutex> lock(device->mutex);
            callback = device->inputCallback;
            context = device->inputContext;
            buffer = device->inputBuffer;
            size = device->inputBufferSize;
        }
        if (callback && buffer) {
            const size_t n = std::min(bytes.size(), static_cast<size_t>(size));
            if (n > 0) std::memcpy(buffer, bytes.data(), n);
            callback(context, kIOReturnSuccess, device, type, reportID, buffer, static_cast<CFIndex>(bytes.size()));
        }
        CFRelease(device);
    });
}

bool setElementValue(IOHIDDeviceRef device, IOHIDElementCookie cookie, CFIndex value) {
    if (!ktrcf::isa(device, ktrcf::kTypeIDHIDDevice) || !device->attached) return false;
    auto found = std::find_if(device->elements.begin(), device->elements.end(),
                              [cookie](IOHIDElementRef element) { return element->cookie == cookie; });
    if (found == device->elements.end()) return false;
    IOHIDElementRef element = *found;
    IOHIDValueRef offered = nullptr;
    {
        std::lock_guard<std::mutex> lock(device->valueMutex);
        const bool changed = element->value != value || element->isRelative;
        element->value = value;
        element->timeStamp = detail::now();
        if (changed && !device->queues.empty()) {
            offered = new __IOHIDValue(element, element->timeStamp, value);
            for (IOHIDQueueRef queue : device->queues) queue->offer(offered);
        }
    }
    if (offered) CFRelease(offered);
    return true;
}

size_t attachedDeviceCount() {
    std::lock_guard<std::mutex> lock(detail::registry().mutex);
    return detail::registry().devices.size();
}

}  // namespace ktrplatform
