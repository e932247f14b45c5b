// The application object: its window, the hand-over of a second start and the refusal of a quit while a
// transfer runs.
#include <gtest/gtest.h>
#include <ktrplatform/SystemDevices.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

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
const bool standalone = (
    juce::JUCEApplicationBase::createInstance = []() -> juce::JUCEApplicationBase* { return nullptr; },
    ktrplatform::setSystemDevicesEnabled(false), true);

// The application serves later starts on a socket in the user's runtime folder: the tests' own folder, so that
// they meet no other run's instance and leave nothing behind.
class OwnRuntimeFolder : public ::testing::Environment {
public:
    void SetUp() override {
        std::string path = (std::filesystem::temp_directory_path() / "ktr-app-XXXXXX").string();
        ASSERT_NE(::mkdtemp(path.data()), nullptr);
        m_folder = path;
        ::setenv("XDG_RUNTIME_DIR", m_folder.c_str(), 1);
    }
    void TearDown() override {
        std::error_code ignored;
        if (!m_folder.empty()) std::filesystem::remove_all(m_folder, ignored);
    }

private:
    std::string m_folder;
};
::testing::Environment* const runtimeFolder = ::testing::AddGlobalTestEnvironment(new OwnRuntimeFolder);

bool stopSent() { return juce::MessageManager::getInstance()->hasStopMessageBeenSent(); }
juce::Component* front() {
    return juce::Desktop::getInstance().getComponent(juce::Desktop::getInstance().getNumComponents() - 1);
}

// The framework's start-up without its message loop: the test calls what the loop would.
class ApplicationTest : public ::testing::Test {
protected:
    void SetUp() override {
        app.initialise({});
        window = dynamic_cast<MainWindow*>(front());
        ASSERT_NE(window, nullptr);
    }
    void TearDown() override { app.shutdown(); }

    Application app;  // before the framework, which it outlives
    juce::ScopedJuceInitialiser_GUI gui;
    MainWindow* window = nullptr;
};

TEST_F(ApplicationTest, ShowsOneAlwaysOnTopWindowTitledInTheCurrentLanguage) {
    EXPECT_EQ(app.getApplicationName(), "KTR-Q7UpdateProgram");
    EXPECT_EQ(app.getApplicationVersion(), "0.0.0.2");
    EXPECT_TRUE(window->isVisible() && window->isAlwaysOnTop() && window->isUsingNativeTitleBar());
    EXPECT_FALSE(window->isResizable());
    // The first layout ran before the window was the parent; a later one gave the window the language's title.
    EXPECT_EQ(window->getName(), TxtLoader::getInstance()->getString(3));
    // The content covers the whole client area, at least the size it asked for.
    const juce::Component* content = window->getContentComponent();
    EXPECT_TRUE(content->getWidth() >= 420 && content->getHeight() >= 170);
    EXPECT_EQ(content->getBounds(), window->getLocalBounds());
}

TEST_F(ApplicationTest, QuitIsRefusedWhileATransferRuns) {
    auto& content = dynamic_cast<MainComponent&>(*window->getContentComponent());
    MainComponentTestAccess::setTransferRunning(content, true);
    app.systemRequestedQuit();
    EXPECT_FALSE(stopSent());
    MainComponentTestAccess::setTransferRunning(content, false);
    app.systemRequestedQuit();
    EXPECT_TRUE(stopSent());
}

TEST_F(ApplicationTest, AnotherStartBringsOnlyAVisibleWindowForward) {
    // Another always-on-top window above it: only a real move to the front puts the window back on top.
    juce::Component other;
    other.setBounds(window->getBounds());
    other.addToDesktop(0);
    other.setAlwaysOnTop(true);
    other.setVisible(true);
    for (bool visible : {true, false}) {
        window->setVisible(visible);
        other.toFront(false);
        ASSERT_EQ(front(), &other);
        app.anotherInstanceStarted("--anything");
        EXPECT_EQ(front(), visible ? static_cast<juce::Component*>(window) : &other);
        EXPECT_EQ(window->isVisible(), visible);
    }
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
