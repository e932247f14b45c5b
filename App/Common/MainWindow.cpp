#include "MainWindow.h"

#include "MainComponent.h"

MainWindow::MainWindow() : juce::ResizableWindow("KTR-Q7UpdateProgram", true), m_mainComponent(nullptr) {
    m_mainComponent = new MainComponent();
    setContentOwned(m_mainComponent, true);
    centreWithSize(getWidth(), getHeight());
    setAlwaysOnTop(true);
    setVisible(true);
    setUsingNativeTitleBar(true);
}

MainWindow::~MainWindow() {}

bool MainWindow::isTransferRunning() const {
    return m_mainComponent != nullptr && m_mainComponent->isTransferRunning();
}
