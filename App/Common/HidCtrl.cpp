#include "HidCtrl.h"

#include <cstring>

#include "HidUtil.h"

HidCtrl::HidCtrl() : m_owner(nullptr), m_hidUtil(nullptr), m_devState(0), m_devVersion(0), m_inData{}, m_inLength(0) {}

HidCtrl::~HidCtrl() { finalize(); }

bool HidCtrl::initialize(HidHandler* owner, int fileValid) {
    if (m_hidUtil) finalize();
    m_owner = owner;
    m_hidUtil = new HidUtil();
    m_devState = 0;
    m_devVersion = 0;
    m_inLength = 0;
    std::memset(m_inData, 0, sizeof m_inData);

    if (!m_hidUtil->initialize(this, fileValid)) {
        finalize();
        return false;
    }
    // A device present now is not announced: the owner asks for the state when it needs it.
    m_devState = deviceMatching() ? 1 : 0;
    if (m_devState != 0) {
        m_devVersion = static_cast<uint32_t>(deviceVersion());
        m_inLength = static_cast<uint32_t>(deviceInput(m_inData, kReportSize));
    }
    return true;
}

void HidCtrl::finalize() {
    m_owner = nullptr;
    if (m_hidUtil) {
        m_hidUtil->finalize();
        delete m_hidUtil;
        m_hidUtil = nullptr;
    }
}

bool HidCtrl::deviceMatching() { return m_hidUtil && m_hidUtil->deviceMatching(); }

int HidCtrl::deviceVersion() { return m_hidUtil ? m_hidUtil->deviceVersion() : 0; }

int HidCtrl::deviceInput(unsigned char* buffer, unsigned int length) {
    if (!buffer || length == 0) return 0;
    std::memset(buffer, 0, length);
    return m_hidUtil ? m_hidUtil->deviceInput(buffer, length) : 0;
}

bool HidCtrl::setData(unsigned char* data, unsigned int length) {
    // A removal on the message thread may clear the state between the test and the store;
    // a plain store of 2 would then claim a device that has gone.
    uint32_t state = m_devState.load();
    do {
        if (state == 0) return false;
    } while (!m_devState.compare_exchange_weak(state, 2));
    return deviceOutput(data, length);
}

bool HidCtrl::deviceOutput(unsigned char* data, unsigned int length) {
    return m_hidUtil && m_hidUtil->deviceOutput(data, length);
}

void HidCtrl::removalCallBack() {
    m_devState = 0;
    m_devVersion = 0;
    std::memset(m_inData, 0, sizeof m_inData);
    m_inLength = 0;
    if (m_owner) m_owner->removalCallBack();
}

void HidCtrl::matchingCallBack() {
    m_devState = 1;
    m_devVersion = static_cast<uint32_t>(deviceVersion());
    m_inLength = static_cast<uint32_t>(deviceInput(m_inData, kReportSize));
    if (m_owner) m_owner->matchingCallBack();
}

void HidCtrl::inputCallBack() {
    uint8_t report[kReportSize];
    const int n = deviceInput(report, kReportSize);
    std::memcpy(m_inData, report, static_cast<size_t>(n));
    m_inLength = static_cast<uint32_t>(n);
    if (m_owner) m_owner->inputCallBack();
}
