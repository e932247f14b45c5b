// The window's content and the update controller in one object.
#pragma once

#include <atomic>
#include <mutex>

#include "AlineButton.h"
#include "CustomLookAndFeel.h"
#include "HidCtrl.h"
#include "HidHandler.h"
#include "includes.h"

class MainComponent : public juce::Component,
                      public juce::AsyncUpdater,
                      public juce::Thread,
                      public HidHandler,
                      public juce::ComboBox::Listener,
                      public juce::Button::Listener {
public:
    enum STATE_t {
        STATE_LANGUAGE = 0,
        STATE_NOT_CONNECTED = 1,
        STATE_READY = 2,
        STATE_UPDATING = 3,
        STATE_COMPLETE = 4,
        STATE_ERROR = 5,
    };

    MainComponent();
    ~MainComponent() override;

    void paint(juce::Graphics& g) override;
    void resized() override;
    void handleAsyncUpdate() override;
    void run() override;
    void comboBoxChanged(juce::ComboBox* comboBoxThatHasChanged) override;
    void buttonClicked(juce::Button* button) override;
    void removalCallBack() override;
    void matchingCallBack() override;
    void inputCallBack() override;

    void updateCtrl();
    void updateSequence(STATE_t state);
    // Any thread: the latest request wins; applied on the message thread.
    void changeUpdateState(STATE_t state);
    void quitSequence();

    // Finds the update file in the executable's folder; appends its name to the caller's zero-filled buffer.
    static bool GetUpFilePath(const char* prefix, const char* extension, char* buffer);
    static bool CheckFileName(const char* name, const char* prefix, const char* extension);
    // Reads the named file of the executable's folder, fills the block table and gives its length less 36 when
    // the tag matches, else 0.
    int checkUPD(juce::String const& fileName, unsigned char const* tag, int* version);
    static juce::uint16 calcCRC(unsigned char const* data, long length);
    static juce::uint8 ConvertAsciiToHex(unsigned char c);

    void dispHowToUpdate(float x, float y, int locale, juce::String const& fontName, bool headline);
    void dispHowToStart(float x, float y, int locale, juce::String const& fontName);
    void drawIcon(juce::Graphics& g, int kind);

    // From Start until the worker has returned; a quit asked for meanwhile must wait for it.
    bool isTransferRunning() const { return m_transferRunning.load(); }

    // Longest waits of the transfer and the pause after a finish reply, in milliseconds. Tests shorten them.
    struct Timing {
        int startMs = 10000;
        int openBlockMs = 10000;
        int dataMs = 180000;
        int finishMs = 180000;
        int finishPauseMs = 100;
    };
    static void setTimingForTesting(const Timing& timing);

private:
    friend struct MainComponentTestAccess;

    // Whether device events must wake the worker: from Start on, so that a reply that comes before the
    // updating state is applied is not lost.
    bool replyAwaited() const { return m_state == STATE_UPDATING || m_transferRunning.load(); }
    void clearReplyAndWake();
    void deviceEventDuringTransfer();
    // Waits for the reply to the last request; code and percentage are 0 after a time-out.
    bool waitForReply(int timeoutMs, juce::uint8& code, juce::uint8& percent);
    void sendRequest(unsigned char* report);

    juce::GlyphArrangement m_glyphs;
    LangLookAndFeel* m_langLookAndFeel;
    juce::ComboBox* m_langs;
    ProgressLookAndFeel* m_progressLookAndFeel;
    double m_progress;
    juce::ProgressBar* m_progressBar;
    AlineButton* m_okButton;
    AlineButton* m_cancelButton;
    juce::CriticalSection m_stateLock;
    juce::WaitableEvent m_replyEvent;
    int m_fileVersion;
    int m_fileValid;
    int m_fileCheck;
    // Written by a successful read only; zeroed so that they never hold indeterminate values.
    juce::int64 m_blockSize[1] = {};
    juce::uint16 m_blockCrc[1] = {};
    juce::uint8 m_blockFlag[1] = {};
    int m_deviceVersion;
    int m_state;
    int m_pendingState;
    HidCtrl* m_hidCtrl;
    unsigned char m_reply[1024];
    double m_lastPercent;
    juce::String m_updateFileName;

    // Keeps the worker from reading the reply while the message thread overwrites it; guards the two flags.
    std::mutex m_replyLock;
    bool m_replyUnread = false;         // a reply has come that the worker has not read
    bool m_deviceEventPending = false;  // a removal or arrival came while such a reply was unread
    std::atomic<bool> m_transferRunning{false};
    // The worker's progress, copied into m_progress on the message thread.
    std::atomic<double> m_progressValue{0};
};
