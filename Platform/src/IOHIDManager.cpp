#include <ktrplatform/PlatformFaults.h>

#include <atomic>

#include "HIDObjects.h"
#include "HidrawSystem.h"
#include "RunLoop.h"
#include "SimulatorSource.h"

namespace {
std::atomic<bool> gFailNextCreate{false};
std::atomic<bool> gFailNextOpen{false};

bool isManager(IOHIDManagerRef manager) { return ktrcf::isa(manager, ktrcf::kTypeIDHIDManager); }
}  // namespace

namespace ktrplatform {
void failNextHIDManagerCreate() { gFailNextCreate = true; }
void failNextHIDManagerOpen() { gFailNextOpen = true; }
}  // namespace ktrplatform

__IOHIDManager::__IOHIDManager() : ktrcf::Object(ktrcf::kTypeIDHIDManager) {}

__IOHIDManager::~__IOHIDManager() {
    ktrplatform::detail::unregisterManager(this);
    if (matching) CFRelease(matching);
    if (runLoop) CFRelease(runLoop);
}

extern "C" {

CFTypeID IOHIDManagerGetTypeID(void) { return ktrcf::kTypeIDHIDManager; }

IOHIDManagerRef IOHIDManagerCreate(CFAllocatorRef, IOOptionBits) {
    ktrplatform::detail::startSimulatorSource();
    ktrplatform::detail::startHidrawSource();
    if (gFailNextCreate.exchange(false)) return nullptr;
    auto* manager = new __IOHIDManager();
    ktrplatform::detail::registerManager(manager);
    return manager;
}

IOReturn IOHIDManagerOpen(IOHIDManagerRef manager, IOOptionBits) {
    if (!isManager(manager)) return kIOReturnBadArgument;
    if (gFailNextOpen.exchange(false)) return kIOReturnError;
    std::lock_guard<std::mutex> lock(ktrplatform::detail::registryMutex());
    manager->open = true;
    return kIOReturnSuccess;
}

IOReturn IOHIDManagerClose(IOHIDManagerRef manager, IOOptionBits) {
    if (!isManager(manager)) return kIOReturnBadArgument;
    std::lock_guard<std::mutex> lock(ktrplatform::detail::registryMutex());
    manager->open = false;
    return kIOReturnSuccess;
}

void IOHIDManagerSetDeviceMatchingMultiple(IOHIDManagerRef manager, CFArrayRef multiple) {
    if (!isManager(manager)) return;
    // Copy, so that a caller changing its array later does not change the matching.
    CFArrayRef copy = nullptr;
    if (ktrcf::isa(multiple, ktrcf::kTypeIDArray)) {
        const CFIndex count = CFArrayGetCount(multiple);
        CFMutableArrayRef m = CFArrayCreateMutable(kCFAllocatorDefault, count, &kCFTypeArrayCallBacks);
        for (CFIndex i = 0; i < count; ++i) CFArrayAppendValue(m, CFArrayGetValueAtIndex(multiple, i));
        copy = m;
    }
    std::lock_guard<std::mutex> lock(ktrplatform::detail::registryMutex());
    if (manager->matching) CFRelease(manager->matching);
    manager->matching = copy;
    ktrplatform::detail::announcePresentDevicesLocked(manager);
}

void IOHIDManagerSetDeviceMatching(IOHIDManagerRef manager, CFDictionaryRef matching) {
    if (!isManager(manager)) return;
    if (!matching) {
        IOHIDManagerSetDeviceMatchingMultiple(manager, nullptr);
        return;
    }
    const void* values[] = {matching};
    CFArrayRef array = CFArrayCreate(kCFAllocatorDefault, values, 1, &kCFTypeArrayCallBacks);
    IOHIDManagerSetDeviceMatchingMultiple(manager, array);
    CFRelease(array);
}

CFSetRef IOHIDManagerCopyDevices(IOHIDManagerRef manager) {
    if (!isManager(manager)) return nullptr;
    CFMutableSetRef set = CFSetCreateMutable(kCFAllocatorDefault, 0, &kCFTypeSetCallBacks);
    std::lock_guard<std::mutex> lock(ktrplatform::detail::registryMutex());
    for (IOHIDDeviceRef device : ktrplatform::detail::attachedDevicesLocked())
        if (ktrplatform::detail::deviceMatchesLocked(manager, device)) CFSetAddValue(set, device);
    return set;
}

void IOHIDManagerRegisterDeviceMatchingCallback(IOHIDManagerRef manager, IOHIDDeviceCallback callback, void* context) {
    if (!isManager(manager)) return;
    std::lock_guard<std::mutex> lock(ktrplatform::detail::registryMutex());
    manager->matchingCallback = callback;
    manager->matchingContext = callback ? context : nullptr;
    ktrplatform::detail::announcePresentDevicesLocked(manager);
}

void IOHIDManagerRegisterDeviceRemovalCallback(IOHIDManagerRef manager, IOHIDDeviceCallback callback, void* context) {
    if (!isManager(manager)) return;
    std::lock_guard<std::mutex> lock(ktrplatform::detail::registryMutex());
    manager->removalCallback = callback;
    manager->removalContext = callback ? context : nullptr;
}

void IOHIDManagerScheduleWithRunLoop(IOHIDManagerRef manager, CFRunLoopRef runLoop, CFStringRef) {
    if (!isManager(manager) || !runLoop) return;
    std::lock_guard<std::mutex> lock(ktrplatform::detail::registryMutex());
    if (manager->runLoop != runLoop) {
        CFRetain(runLoop);
        if (manager->runLoop) CFRelease(manager->runLoop);
        manager->runLoop = runLoop;
    }
    ktrplatform::detail::announcePresentDevicesLocked(manager);
}

void IOHIDManagerUnscheduleFromRunLoop(IOHIDManagerRef manager, CFRunLoopRef runLoop, CFStringRef) {
    if (!isManager(manager) || !runLoop) return;
    std::lock_guard<std::mutex> lock(ktrplatform::detail::registryMutex());
    if (manager->runLoop != runLoop) return;
    CFRelease(manager->runLoop);
    manager->runLoop = nullptr;
}

}  // extern "C"
