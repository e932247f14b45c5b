// Binding of the device controller to the HID Manager: finds the KTR-Q7 among the HID devices,
// follows its arrival and removal, receives its input reports and sends output reports.
#pragma once

#include <IOKit/hid/IOHIDLib.h>

#include <cstdint>
#include <mutex>

#include "HidHandler.h"

// Accepted USB product IDs of vendor 0x4D2A.
extern const int32_t ValidHidDeviceType[4];

class HidUtil {
public:
    HidUtil();
    HidUtil(const HidUtil&) = delete;
    HidUtil& operator=(const HidUtil&) = delete;
    virtual ~HidUtil();

    // False, changing nothing, while another instance is live.
    bool initialize(HidHandler* handler, int fileValid);
    void finalize();
    // True when a device is held; from the first call on, arrivals are reported to the handler.
    bool deviceMatching();
    // Release number read as four BCD digits (0x0123 gives 123); 0 without a device.
    int deviceVersion();
    int deviceInput(unsigned char* buffer, unsigned int length);
    // Synchronous on the calling thread (the transfer worker).
    bool deviceOutput(unsigned char* buffer, unsigned int length);

    static HidUtil* m_pinstance;

    static constexpr unsigned int kReportSize = 1024;

    // Called by the platform on the run loop the manager or the device is scheduled on.
    static void Handle_DeviceMatchingCallback(void* context, int result, void* sender, IOHIDDeviceRef device);
    static void Handle_IOHIDDeviceRemovalCallback(void* context, int result, void* sender);
    static void Handle_IOHIDDeviceIOHIDReportCallback(void* context, int result, void* sender, IOHIDReportType type,
                                                      unsigned int reportID, unsigned char* report, long reportLength);

private:
    bool checkID(__IOHIDDevice* device);
    bool deviceRemoval();
    void registerDeviceMatching();

    HidHandler* m_handler;
    IOHIDDeviceRef m_device;
    unsigned char* m_report;
    uint32_t m_reportLength;
    bool m_matchingRegistered;
    // deviceOutput runs on the worker while the message thread takes and lets go of devices.
    // Held across the synchronous send, and while m_device is set or cleared, so that a device
    // being let go is never handed to the platform; the device itself is not retained.
    std::mutex m_deviceLock;
};
