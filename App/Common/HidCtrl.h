// The device controller: whether the device is present, its version, its last input report,
// and the output reports of the transfer. Events of the binding are passed on to the owner.
#pragma once

#include <atomic>
#include <cstdint>

#include "HidHandler.h"

class HidUtil;

class HidCtrl : public HidHandler {
public:
    HidCtrl();
    HidCtrl(const HidCtrl&) = delete;
    HidCtrl& operator=(const HidCtrl&) = delete;

    void removalCallBack() override;
    void matchingCallBack() override;
    void inputCallBack() override;
    virtual ~HidCtrl();

    // False when another controller's binding is live; the controller then never sees a device.
    bool initialize(HidHandler* owner, int fileValid);
    void finalize();

    bool deviceMatching();
    int deviceVersion();
    int deviceInput(unsigned char* buffer, unsigned int length);
    // Worker thread: refused (false, nothing sent) while no device is present.
    bool setData(unsigned char* data, unsigned int length);
    bool deviceOutput(unsigned char* data, unsigned int length);

    unsigned int getState() const { return m_devState.load(); }
    unsigned int getVersion() const { return m_devVersion; }
    unsigned char* getData() { return m_inData; }
    unsigned int getLength() const { return m_inLength; }

    static constexpr unsigned int kReportSize = 1024;

private:
    HidHandler* m_owner;
    HidUtil* m_hidUtil;
    // 0 no device, 1 present, 2 present and a report handed on; written by setData on the
    // worker and by the callbacks on the message thread.
    std::atomic<uint32_t> m_devState;
    uint32_t m_devVersion;
    uint8_t m_inData[kReportSize];
    uint32_t m_inLength;
};
