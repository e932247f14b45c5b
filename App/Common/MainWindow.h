// The updater's one window; its whole client area is the main component.
#pragma once

#include "includes.h"

class MainComponent;

class MainWindow : public juce::ResizableWindow {
public:
    MainWindow();
    ~MainWindow() override;

    // Whether the content is in the middle of a transfer, during which the program must not end.
    bool isTransferRunning() const;

private:
    MainComponent* m_mainComponent;  // owned through the window's content
};
