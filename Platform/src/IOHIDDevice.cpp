#include <cstring>
#include <unordered_map>

#include "HIDObjects.h"
#include "RunLoop.h"

__IOHIDDevice::__IOHIDDevice(CFDictionaryRef props, std::shared_ptr<ktrplatform::DeviceBackend> b)
    : ktrcf::Object(ktrcf::kTypeIDHIDDevice),
      properties(props ? CFDictionaryCreateMutableCopy(kCFAllocatorDefault, 0, props)
                       : CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                                   &kCFTypeDictionaryValueCallBacks)),
      backend(std::move(b)) {}

__IOHIDDevice::~__IOHIDDevice() {
    // Elements may outlive their device in values that callers still hold.
    for (IOHIDElementRef element : elements) {
        element->device = nullptr;
        CFRelease(element);
    }
    if (properties) CFRelease(properties);
    if (runLoop) CFRelease(runLoop);
}

std::string __IOHIDDevice::description() const { return "<IOHIDDevice>"; }

namespace {

// The values that IOHIDDeviceGetValue handed to this thread, one per element, each kept until
// the thread asks for the same element again or ends.
class HandedValues {
public:
    HandedValues() = default;
    HandedValues(const HandedValues&) = delete;
    HandedValues& operator=(const HandedValues&) = delete;
    ~HandedValues() {
        for (auto& entry : m_values) CFRelease(entry.second);
    }
    void keep(IOHIDElementRef element, IOHIDValueRef value) {
        IOHIDValueRef& slot = m_values[element];
        if (slot) CFRelease(slot);
        slot = value;
    }

private:
    // Each value retains its element, so a key cannot be freed and reused while it is here.
    std::unordered_map<IOHIDElementRef, IOHIDValueRef> m_values;
};

bool elementMatches(IOHIDElementRef element, CFDictionaryRef matching) {
    if (!matching) return true;
    std::lock_guard<std::mutex> lock(element->propertyMutex);
    return ktrplatform::detail::propertiesMatch(element->properties, matching);
}

}  // namespace

extern "C" {

CFTypeID IOHIDDeviceGetTypeID(void) { return ktrcf::kTypeIDHIDDevice; }

IOReturn IOHIDDeviceOpen(IOHIDDeviceRef device, IOOptionBits) {
    if (!ktrcf::isa(device, ktrcf::kTypeIDHIDDevice)) return kIOReturnBadArgument;
    return device->attached ? kIOReturnSuccess : kIOReturnNoDevice;
}

IOReturn IOHIDDeviceClose(IOHIDDeviceRef device, IOOptionBits) {
    if (!ktrcf::isa(device, ktrcf::kTypeIDHIDDevice)) return kIOReturnBadArgument;
    return kIOReturnSuccess;
}

CFTypeRef IOHIDDeviceGetProperty(IOHIDDeviceRef device, CFStringRef key) {
    if (!ktrcf::isa(device, ktrcf::kTypeIDHIDDevice) || !key) return nullptr;
    std::lock_guard<std::mutex> lock(device->mutex);
    return CFDictionaryGetValue(device->properties, key);
}

Boolean IOHIDDeviceSetProperty(IOHIDDeviceRef device, CFStringRef key, CFTypeRef property) {
    if (!ktrcf::isa(device, ktrcf::kTypeIDHIDDevice) || !key || !property) return false;
    std::lock_guard<std::mutex> lock(device->mutex);
    CFDictionarySetValue(device->properties, key, property);
    return true;
}

void IOHIDDeviceScheduleWithRunLoop(IOHIDDeviceRef device, CFRunLoopRef runLoop, CFStringRef) {
    if (!ktrcf::isa(device, ktrcf::kTypeIDHIDDevice) || !runLoop) return;
    std::lock_guard<std::mutex> lock(device->mutex);
    if (device->runLoop == runLoop) return;
    CFRetain(runLoop);
    if (device->runLoop) CFRelease(device->runLoop);
    device->runLoop = runLoop;
}

void IOHIDDeviceUnscheduleFromRunLoop(IOHIDDeviceRef device, CFRunLoopRef runLoop, CFStringRef) {
    if (!ktrcf::isa(device, ktrcf::kTypeIDHIDDevice) || !runLoop) return;
    std::lock_guard<std::mutex> lock(device->mutex);
    if (device->runLoop != runLoop) return;
    CFRelease(device->runLoop);
    device->runLoop = nullptr;
}

void IOHIDDeviceRegisterRemovalCallback(IOHIDDeviceRef device, IOHIDCallback callback, void* context) {
    if (!ktrcf::isa(device, ktrcf::kTypeIDHIDDevice)) return;
    std::lock_guard<std::mutex> lock(device->mutex);
    device->removalCallback = callback;
    device->removalContext = callback ? context : nullptr;
}

void IOHIDDeviceRegisterInputReportCallback(IOHIDDeviceRef device, uint8_t* report, CFIndex reportLength,
                                            IOHIDReportCallback callback, void* context) {
    if (!ktrcf::isa(device, ktrcf::kTypeIDHIDDevice)) return;
    std::lock_guard<std::mutex> lock(device->mutex);
    const bool usable = callback && report && reportLength > 0;
    device->inputCallback = usable ? callback : nullptr;
    device->inputContext = usable ? context : nullptr;
    device->inputBuffer = usable ? report : nullptr;
    device->inputBufferSize = usable ? reportLength : 0;
}

IOReturn IOHIDDeviceSetReport(IOHIDDeviceRef device, IOHIDReportType reportType, CFIndex reportID,
                              const uint8_t* report, CFIndex reportLength) {
    if (!ktrcf::isa(device, ktrcf::kTypeIDHIDDevice) || !report || reportLength <= 0 ||
        reportType < kIOHIDReportTypeInput || reportType >= kIOHIDReportTypeCount || reportID < 0 || reportID > 255)
        return kIOReturnBadArgument;
    std::shared_ptr<ktrplatform::DeviceBackend> backend;
    {
        std::lock_guard<std::mutex> lock(device->mutex);
        backend = device->backend;
    }
    if (!device->attached || !backend) return kIOReturnNoDevice;
    return backend->setReport(reportType, static_cast<uint32_t>(reportID), report, static_cast<size_t>(reportLength));
}

CFArrayRef IOHIDDeviceCopyMatchingElements(IOHIDDeviceRef device, CFDictionaryRef matching, IOOptionBits) {
    if (!ktrcf::isa(device, ktrcf::kTypeIDHIDDevice)) return nullptr;
    if (matching && !ktrcf::isa(matching, ktrcf::kTypeIDDictionary)) return nullptr;
    std::vector<const void*> found;
    for (IOHIDElementRef element : device->elements)
        if (elementMatches(element, matching)) found.push_back(element);
    if (found.empty()) return nullptr;
    return CFArrayCreate(kCFAllocatorDefault, found.data(), static_cast<CFIndex>(found.size()), &kCFTypeArrayCallBacks);
}

IOReturn IOHIDDeviceGetValue(IOHIDDeviceRef device, IOHIDElementRef element, IOHIDValueRef* pValue) {
    if (!ktrcf::isa(device, ktrcf::kTypeIDHIDDevice) || !ktrcf::isa(element, ktrcf::kTypeIDHIDElement) || !pValue ||
        element->device.load() != device)
        return kIOReturnBadArgument;
    if (!device->attached) return kIOReturnNoDevice;
    IOHIDValueRef value;
    {
        std::lock_guard<std::mutex> lock(device->valueMutex);
        value = new __IOHIDValue(element, element->timeStamp, element->value);
    }
    static thread_local HandedValues handed;
    handed.keep(element, value);
    *pValue = value;
    return kIOReturnSuccess;
}

}  // extern "C"
