// The application object: its window, the hand-over of a second start and the refusal of a quit while a
// transfer runs.
#include <gtest/gtest.h>
#include <ktrplatform/SystemDevices.h>

#include <memory>

#include "Application.h"
#include "MainComponent.h"
#include "MainWindow.h"
#include "TxtLoader.h"

struct MainComponentTestAccess {
    static void setTransferRunning(MainComponent& c, bool running) { c.m_transferRunning = running; }
};

namespace {

// Marks the process as a stand-alone application, as the program's entry does: only then does the framework
// take over the window system's error handling (a display without a window manager lacks atoms it uses). The
// machine's own HID devices stay out of the test.
const bool standalone = [] {
    juce::JUCEApplicationBase::createInstance = [] { return static_cast<juce::JUCEApplicationBase*>(nullptr); };
    ktrplatform::setSystemDevicesEnabled(false);
    return true;
}();

bool stopSent() { return juce::MessageManager::getInstance()->hasStopMessageBeenSent(); }

// The framework's start-up without its message loop: the test calls what the loop would.
class ApplicationTest : public ::testing::Test {
protected:
    void SetUp() override { app.initialise({}); }
    void TearDown() override { app.shutdown(); }

    MainWindow* window() const {
        auto& desktop = juce::Desktop::getInstance();
        for (int i = desktop.getNumComponents(); --i >= 0;)
            if (auto* w = dynamic_cast<MainWindow*>(desktop.getComponent(i))) return w;
        return nullptr;
    }
    MainComponent& content() const { return dynamic_cast<MainComponent&>(*window()->getContentComponent()); }
    static juce::Component* front() {
        return juce::Desktop::getInstance().getComponent(juce::Desktop::getInstance().getNumComponents() - 1);
    }

    Application app;  // before the framework, which it outlives
    juce::ScopedJuceInitialiser_GUI gui;
};

TEST_F(ApplicationTest, ShowsOneAlwaysOnTopWindowTitledInTheCurrentLanguage) {
    EXPECT_EQ(app.getApplicationName(), "KTR-Q7UpdateProgram");
    EXPECT_EQ(app.getApplicationVersion(), "0.0.0.2");

    MainWindow* w = window();
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(w->isVisible() && w->isAlwaysOnTop() && w->isUsingNativeTitleBar() && !w->isResizable());
    // The first layout ran before the window was the parent; a later one gave the window the language's title.
    EXPECT_EQ(w->getName(), TxtLoader::getInstance()->getString(3));
    // The content covers the whole client area, at least the size it asked for.
    EXPECT_GE(content().getWidth(), 420);
    EXPECT_GE(content().getHeight(), 170);
    EXPECT_EQ(content().getBounds(), w->getLocalBounds());
}

TEST_F(ApplicationTest, QuitIsRefusedWhileATransferRuns) {
    ASSERT_NE(window(), nullptr);
    MainComponentTestAccess::setTransferRunning(content(), true);
    app.systemRequestedQuit();
    EXPECT_FALSE(stopSent());
    MainComponentTestAccess::setTransferRunning(content(), false);
    app.systemRequestedQuit();
    EXPECT_TRUE(stopSent());
}

TEST_F(ApplicationTest, AnotherStartBringsOnlyAVisibleWindowForward) {
    MainWindow* w = window();
    ASSERT_NE(w, nullptr);
    // Another always-on-top window above it: only a real move to the front puts the window back on top.
    juce::Component other;
    other.setBounds(w->getBounds());
    other.addToDesktop(0);
    other.setAlwaysOnTop(true);
    other.setVisible(true);
    other.toFront(false);
    ASSERT_EQ(front(), &other);
    app.anotherInstanceStarted("--anything");
    EXPECT_EQ(front(), w);

    w->setVisible(false);
    other.toFront(false);
    app.anotherInstanceStarted({});
    EXPECT_FALSE(w->isVisible());
    EXPECT_EQ(front(), &other);
}

TEST(ApplicationWithoutWindow, IgnoresAnotherStartAndQuitsAtOnce) {
    Application app;
    const juce::ScopedJuceInitialiser_GUI gui;
    app.anotherInstanceStarted({});
    app.systemRequestedQuit();
    EXPECT_TRUE(stopSent());
    app.shutdown();
}

}  // namespace
