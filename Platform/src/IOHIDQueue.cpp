#include <algorithm>
#include <chrono>

#include "HIDObjects.h"

namespace {

__IOHIDQueue* asQueue(IOHIDQueueRef queue) { return ktrcf::mutableCast<__IOHIDQueue>(queue); }

}  // namespace

__IOHIDQueue::__IOHIDQueue(IOHIDDeviceRef d, CFIndex n)
    : ktrcf::Object(kTypeID), device(static_cast<IOHIDDeviceRef>(const_cast<void*>(CFRetain(d)))), depth(n) {
    std::lock_guard<std::mutex> lock(device->valueMutex);
    device->queues.push_back(this);
}

__IOHIDQueue::~__IOHIDQueue() {
    {
        // After this no value can be offered any more.
        std::lock_guard<std::mutex> lock(device->valueMutex);
        auto& queues = device->queues;
        queues.erase(std::remove(queues.begin(), queues.end(), this), queues.end());
    }
    for (IOHIDValueRef value : values) CFRelease(value);
    for (IOHIDElementRef element : elements) CFRelease(element);
    CFRelease(device);
}

void __IOHIDQueue::offer(IOHIDValueRef value) {
    IOHIDValueRef dropped = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!running || std::find(elements.begin(), elements.end(), value->element) == elements.end()) return;
        if (static_cast<CFIndex>(values.size()) >= depth) {
            dropped = values.front();
            values.pop_front();
        }
        CFRetain(value);
        values.push_back(value);
    }
    available.notify_all();
    // The queue held a reference of its own, and the value keeps its element, so this frees no element.
    if (dropped) CFRelease(dropped);
}

extern "C" {

CFTypeID IOHIDQueueGetTypeID(void) { return ktrcf::kTypeIDHIDQueue; }

IOHIDQueueRef IOHIDQueueCreate(CFAllocatorRef, IOHIDDeviceRef device, CFIndex depth, IOOptionBits) {
    if (!ktrcf::isa(device, ktrcf::kTypeIDHIDDevice) || depth < 1) return nullptr;
    return new __IOHIDQueue(device, depth);
}

IOHIDDeviceRef IOHIDQueueGetDevice(IOHIDQueueRef queue) {
    const __IOHIDQueue* q = asQueue(queue);
    return q ? q->device : nullptr;
}

CFIndex IOHIDQueueGetDepth(IOHIDQueueRef queue) {
    const __IOHIDQueue* q = asQueue(queue);
    return q ? q->depth : 0;
}

void IOHIDQueueAddElement(IOHIDQueueRef queue, IOHIDElementRef element) {
    __IOHIDQueue* q = asQueue(queue);
    if (!q || !ktrcf::isa(element, ktrcf::kTypeIDHIDElement) || element->device.load() != q->device) return;
    std::lock_guard<std::mutex> lock(q->mutex);
    if (std::find(q->elements.begin(), q->elements.end(), element) != q->elements.end()) return;
    CFRetain(element);
    q->elements.push_back(element);
}

void IOHIDQueueRemoveElement(IOHIDQueueRef queue, IOHIDElementRef element) {
    __IOHIDQueue* q = asQueue(queue);
    if (!q || !element) return;
    IOHIDElementRef removed = nullptr;
    {
        std::lock_guard<std::mutex> lock(q->mutex);
        auto found = std::find(q->elements.begin(), q->elements.end(), element);
        if (found == q->elements.end()) return;
        removed = *found;
        q->elements.erase(found);
    }
    CFRelease(removed);
}

Boolean IOHIDQueueContainsElement(IOHIDQueueRef queue, IOHIDElementRef element) {
    __IOHIDQueue* q = asQueue(queue);
    if (!q || !element) return false;
    std::lock_guard<std::mutex> lock(q->mutex);
    return std::find(q->elements.begin(), q->elements.end(), element) != q->elements.end();
}

void IOHIDQueueStart(IOHIDQueueRef queue) {
    if (__IOHIDQueue* q = asQueue(queue)) {
        std::lock_guard<std::mutex> lock(q->mutex);
        q->running = true;
    }
}

void IOHIDQueueStop(IOHIDQueueRef queue) {
    if (__IOHIDQueue* q = asQueue(queue)) {
        std::lock_guard<std::mutex> lock(q->mutex);
        q->running = false;
    }
}

IOHIDValueRef IOHIDQueueCopyNextValueWithTimeout(IOHIDQueueRef queue, CFTimeInterval timeout) {
    __IOHIDQueue* q = asQueue(queue);
    if (!q) return nullptr;
    std::unique_lock<std::mutex> lock(q->mutex);
    // NaN and negative times do not wait; very long ones are cut to a day.
    if (q->values.empty() && timeout > 0) {
        const auto wait = std::chrono::duration<double>(std::min(timeout, 86400.0));
        q->available.wait_for(lock, wait, [q] { return !q->values.empty(); });
    }
    if (q->values.empty()) return nullptr;
    IOHIDValueRef value = q->values.front();
    q->values.pop_front();
    return value;  // the queue's reference passes to the caller
}

IOHIDValueRef IOHIDQueueCopyNextValue(IOHIDQueueRef queue) { return IOHIDQueueCopyNextValueWithTimeout(queue, 0); }

}  // extern "C"
