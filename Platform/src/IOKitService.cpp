// Service handles for the attached HID devices. A handle names one device; each lookup that
// returns it adds a reference, and the device is kept until the last one is given back.
#include <IOKit/IOKitLib.h>

#include <map>

#include "HIDObjects.h"

const mach_port_t kIOMasterPortDefault = MACH_PORT_NULL;

namespace {

constexpr const char* kHIDDeviceClass = "IOHIDDevice";

struct Service {
    IOHIDDeviceRef device;  // retained
    long references;
};

struct Services {
    std::mutex mutex;
    std::map<io_object_t, Service> byHandle;
    std::map<IOHIDDeviceRef, io_object_t> byDevice;
    io_object_t next = 0x1003;
};

Services& services() {
    static auto* s = new Services;
    return *s;
}

bool isHIDDeviceClass(const void* name) {
    return ktrcf::isa(name, ktrcf::kTypeIDString) &&
           ktrcf::stdString(static_cast<CFStringRef>(name)) == kHIDDeviceClass;
}

io_object_t handleFor(IOHIDDeviceRef device) {
    Services& s = services();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto known = s.byDevice.find(device);
    if (known != s.byDevice.end()) {
        ++s.byHandle[known->second].references;
        return known->second;
    }
    io_object_t handle;
    do {
        handle = s.next++;
    } while (handle == MACH_PORT_NULL || s.byHandle.count(handle));
    CFRetain(device);
    s.byHandle[handle] = Service{device, 1};
    s.byDevice[device] = handle;
    return handle;
}

}  // namespace

extern "C" {

CFMutableDictionaryRef IOServiceMatching(const char* name) {
    if (name == nullptr) return nullptr;
    CFMutableDictionaryRef matching = CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                                                &kCFTypeDictionaryValueCallBacks);
    CFStringRef className = CFStringCreateWithCString(kCFAllocatorDefault, name, kCFStringEncodingUTF8);
    if (className == nullptr) {
        CFRelease(matching);
        return nullptr;
    }
    CFDictionarySetValue(matching, CFSTR(kIOProviderClassKey), className);
    CFRelease(className);
    return matching;
}

io_service_t IOServiceGetMatchingService(mach_port_t, CFDictionaryRef matching) {
    if (matching == nullptr) return MACH_PORT_NULL;
    IOHIDDeviceRef found = nullptr;
    if (ktrcf::isa(matching, ktrcf::kTypeIDDictionary)) {
        std::lock_guard<std::mutex> lock(ktrplatform::detail::registryMutex());
        for (IOHIDDeviceRef device : ktrplatform::detail::attachedDevicesLocked()) {
            bool matches;
            {
                std::lock_guard<std::mutex> deviceLock(device->mutex);
                matches = ktrplatform::detail::propertiesMatch(device->properties, matching, CFSTR(kIOProviderClassKey),
                                                               isHIDDeviceClass);
            }
            if (matches) {
                found = device;
                CFRetain(found);
                break;
            }
        }
    }
    CFRelease(matching);
    if (found == nullptr) return MACH_PORT_NULL;
    const io_object_t handle = handleFor(found);
    CFRelease(found);
    return handle;
}

kern_return_t IOObjectRelease(io_object_t object) {
    IOHIDDeviceRef freed = nullptr;
    {
        Services& s = services();
        std::lock_guard<std::mutex> lock(s.mutex);
        auto known = s.byHandle.find(object);
        if (known == s.byHandle.end()) return kIOReturnBadArgument;
        if (--known->second.references == 0) {
            freed = known->second.device;
            s.byDevice.erase(freed);
            s.byHandle.erase(known);
        }
    }
    if (freed) CFRelease(freed);
    return kIOReturnSuccess;
}

}  // extern "C"
