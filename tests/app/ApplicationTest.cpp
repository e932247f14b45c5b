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

juce::JUCEApplicationBase* noApplication() { return nullptr; }

// Marks the process as a stand-alone application, as the program's entry does: only then does the framework
// take over the window system's error handling (a display without a window manager lacks atoms it uses). The
// machine's own HID devices stay out of the test.
const bool standalone = [] {
    juce::JUCEApplicationBase::createInstance = &noApplication;
    ktrplatform::setSystemDevicesEnabled(false);
    return true;
}();

// The framework's start-up without its message loop: the test calls what the loop would.
class ApplicationTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_app = std::make_unique<Application>();
        m_gui = std::make_unique<juce::ScopedJuceInitialiser_GUI>();
        m_app->initialise({});
    }
    void TearDown() override {
        m_app->shutdown();
        m_gui.reset();
        m_app.reset();
    }

    MainWindow* window() const {
        for (int i = juce::Desktop::getInstance().getNumComponents(); --i >= 0;)
            if (auto* w = dynamic_cast<MainWindow*>(juce::Desktop::getInstance().getComponent(i))) return w;
        return nullptr;
    }
    MainComponent* content() const {
        MainWindow* w = window();
        return w ? dynamic_cast<MainComponent*>(w->getContentComponent()) : nullptr;
    }

    std::unique_ptr<Application> m_app;
    std::unique_ptr<juce::ScopedJuceInitialiser_GUI> m_gui;
};

TEST_F(ApplicationTest, NamesItselfAndAllowsOneInstance) {
    EXPECT_EQ(m_app->getApplicationName(), "KTR-Q7UpdateProgram");
    EXPECT_EQ(m_app->getApplicationVersion(), "0.0.0.2");
    EXPECT_FALSE(m_app->moreThanOneInstanceAllowed());
}

TEST_F(ApplicationTest, ShowsOneAlwaysOnTopWindowTitledInTheCurrentLanguage) {
    MainWindow* w = window();
    ASSERT_NE(w, nullptr);
    ASSERT_NE(content(), nullptr);
    EXPECT_TRUE(w->isVisible());
    EXPECT_TRUE(w->isAlwaysOnTop());
    EXPECT_TRUE(w->isUsingNativeTitleBar());
    EXPECT_FALSE(w->isResizable());
    // The first layout ran before the window was the parent; a later one gave the window the language's title.
    EXPECT_EQ(w->getName(), TxtLoader::getInstance()->getString(3));
    // The content covers the whole client area, at least the size it asked for.
    EXPECT_GE(content()->getWidth(), 420);
    EXPECT_GE(content()->getHeight(), 170);
    EXPECT_EQ(content()->getBounds(), w->getLocalBounds());
}

TEST_F(ApplicationTest, QuitIsRefusedWhileATransferRuns) {
    ASSERT_NE(content(), nullptr);
    MainComponentTestAccess::setTransferRunning(*content(), true);
    m_app->systemRequestedQuit();
    EXPECT_FALSE(juce::MessageManager::getInstance()->hasStopMessageBeenSent());

    MainComponentTestAccess::setTransferRunning(*content(), false);
    m_app->systemRequestedQuit();
    EXPECT_TRUE(juce::MessageManager::getInstance()->hasStopMessageBeenSent());
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
    auto& desktop = juce::Desktop::getInstance();
    ASSERT_EQ(desktop.getComponent(desktop.getNumComponents() - 1), &other);

    m_app->anotherInstanceStarted("--anything");
    EXPECT_EQ(desktop.getComponent(desktop.getNumComponents() - 1), w);

    w->setVisible(false);
    other.toFront(false);
    m_app->anotherInstanceStarted({});
    EXPECT_FALSE(w->isVisible());
    EXPECT_EQ(desktop.getComponent(desktop.getNumComponents() - 1), &other);
}

TEST(ApplicationWithoutWindow, IgnoresAnotherStartAndQuitsAtOnce) {
    Application app;
    const juce::ScopedJuceInitialiser_GUI gui;
    app.anotherInstanceStarted({});
    app.systemRequestedQuit();
    EXPECT_TRUE(juce::MessageManager::getInstance()->hasStopMessageBeenSent());
    app.shutdown();
}

}  // namespace
