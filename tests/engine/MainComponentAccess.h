// The main component's private state, for tests that drive it as the message thread would.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

#include "MainComponent.h"

struct MainComponentTestAccess {
    static int state(const MainComponent& c) { return c.m_state; }
    static int pendingState(MainComponent& c) {
        const juce::ScopedLock lock(c.m_stateLock);
        return c.m_pendingState;
    }
    static double progress(const MainComponent& c) { return c.m_progress; }
    static int deviceVersion(const MainComponent& c) { return c.m_deviceVersion; }
    static int fileValid(const MainComponent& c) { return c.m_fileValid; }
    static int fileVersion(const MainComponent& c) { return c.m_fileVersion; }
    static void setFileCheck(MainComponent& c, int check) { c.m_fileCheck = check; }

    // Takes the file at an absolute path as the update file and checks it as the constructor does.
    static void useUpdateFile(MainComponent& c, const juce::String& path) {
        c.m_updateFileName = path;
        int version = -1;
        const int result = c.checkUPD(path, reinterpret_cast<const unsigned char*>("TL382 "), &version);
        const bool valid = version >= 1 && result >= 1;
        c.m_fileValid = valid ? 1 : 0;
        c.m_fileVersion = valid ? version : -1;
        c.m_fileCheck = valid ? result : 0;
    }

    static juce::Button* firstButton(MainComponent& c) { return c.m_okButton; }
    static juce::Button* secondButton(MainComponent& c) { return c.m_cancelButton; }

    // Code and percentage of the reply the worker would read now.
    static std::array<std::uint8_t, 2> replyHead(MainComponent& c) {
        const std::lock_guard<std::mutex> lock(c.m_replyLock);
        return {c.m_reply[0], c.m_reply[1]};
    }
};
