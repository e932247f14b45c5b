// Receiver of the three device events.
#pragma once

class HidHandler {
public:
    virtual void removalCallBack() = 0;   // the held device has gone
    virtual void matchingCallBack() = 0;  // a device has been accepted
    virtual void inputCallBack() = 0;     // an input report has arrived

protected:
    // Handlers are never deleted through this interface.
    ~HidHandler() = default;
};
