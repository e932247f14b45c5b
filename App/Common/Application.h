// The application object that the framework drives.
#pragma once

#include "includes.h"

class MainWindow;

class Application : public juce::JUCEApplication {
public:
    Application();
    ~Application() override;

    void initialise(const juce::String& commandLine) override;
    void shutdown() override;
    const juce::String getApplicationName() override;
    const juce::String getApplicationVersion() override;
    bool moreThanOneInstanceAllowed() override;
    void anotherInstanceStarted(const juce::String& commandLine) override;
    // Refused while a transfer runs: ending then would pull the window from under the worker and leave the
    // device half written. The buttons' own quit waits for the worker instead. An interrupt from the terminal
    // (SIGINT) does not come here: the framework ends the program at once, and the main component's
    // destructor stops the worker, which still sends the device its finish request.
    void systemRequestedQuit() override;

private:
    MainWindow* m_mainWindow;
};
