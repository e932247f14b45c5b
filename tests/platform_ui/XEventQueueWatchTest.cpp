#define JUCE_GUI_BASICS_INCLUDE_XHEADERS 1
#include <gtest/gtest.h>
#include <juce_gui_basics/juce_gui_basics.h>
#include <ktrplatform/XEventQueueWatch.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "JuceLoop.h"

namespace {

// As a stand-alone application the framework takes over X error handling: a display without a window manager
// lacks atoms that showing a window uses.
const bool standalone = (
    juce::JUCEApplicationBase::createInstance = []() -> juce::JUCEApplicationBase* { return nullptr; }, true);

struct Target : juce::Component {
    int downs = 0;
    int ups = 0;
    void mouseDown(const juce::MouseEvent&) override { ++downs; }
    void mouseUp(const juce::MouseEvent&) override { ++ups; }
};

// A click whose events one of the framework's own calls reads off the connection, outside the event loop's
// callback for it, as a reply-waiting call from a timer does: afterwards they wait in the client-side queue and
// nothing more arrives on the socket.
void strandClick(::Display* other, Window window) {
    for (const int type : {ButtonPress, ButtonRelease}) {
        XEvent event{};
        event.xbutton.type = type;
        event.xbutton.display = other;
        event.xbutton.window = window;
        event.xbutton.x = event.xbutton.y = 20;
        event.xbutton.button = Button1;
        event.xbutton.same_screen = True;
        event.xbutton.state = type == ButtonRelease ? Button1Mask : 0;
        XSendEvent(other, window, False, type == ButtonPress ? ButtonPressMask : ButtonReleaseMask, &event);
    }
    XSync(other, False);  // both sent before the framework's own round trip below asks
    ::Display* framework = juce::XWindowSystem::getInstance()->getDisplay();
    XSync(framework, False);
    ASSERT_GE(XQLength(framework), 2) << "the click should wait in the client-side queue now";
}

}  // namespace

// The watch hands such a click on; one watch per display, and a second one's end leaves the first at work.
TEST(XEventQueueWatch, AClickLeftInTheClientSideQueueStillArrives) {
    auto watch = std::make_unique<ktrplatform::XEventQueueWatch>();
    ASSERT_TRUE(watch->isWatching());
    EXPECT_FALSE(ktrplatform::XEventQueueWatch().isWatching());

    Target target;
    target.setBounds(100, 100, 120, 60);
    target.addToDesktop(0);
    target.setVisible(true);
    ::Display* other = XOpenDisplay(nullptr);
    ASSERT_NE(other, nullptr);
    const auto window = static_cast<Window>(reinterpret_cast<uintptr_t>(target.getWindowHandle()));
    ASSERT_TRUE(uiplatformtest::runUntil([&] {
        XWindowAttributes attributes{};
        return XGetWindowAttributes(other, window, &attributes) && attributes.map_state == IsViewable;
    }));
    uiplatformtest::runFor(std::chrono::milliseconds(100));

    strandClick(other, window);
    EXPECT_TRUE(uiplatformtest::runUntil([&] { return target.ups == 1; }, std::chrono::seconds(10)));
    EXPECT_EQ(target.downs, 1);

    watch.reset();
    watch = std::make_unique<ktrplatform::XEventQueueWatch>();
    ASSERT_TRUE(watch->isWatching()) << "the ended watch gave the display up";
    strandClick(other, window);
    EXPECT_TRUE(uiplatformtest::runUntil([&] { return target.ups == 2; }, std::chrono::seconds(10)));

    watch.reset();
    target.removeFromDesktop();
    XCloseDisplay(other);
}

namespace {

// The test's own X server. On a shared one, any other client's new window makes the framework read its connection
// again, which hands a waiting click on with or without the watch.
class PrivateDisplay {
public:
    PrivateDisplay() {
        int fds[2];
        if (pipe(fds) != 0) return;
        const std::string fd = std::to_string(fds[1]);
        const char* argv[] = {"Xvfb",       "-displayfd", fd.c_str(), "-screen",  "0",
                              "640x480x24", "-nolisten",  "tcp",      "-noreset", nullptr};
        if (posix_spawnp(&m_pid, "Xvfb", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) m_pid = -1;
        close(fds[1]);
        std::string number;
        char c = 0;
        pollfd p{fds[0], POLLIN, 0};
        while (m_pid > 0 && poll(&p, 1, 30000) == 1 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
        close(fds[0]);
        if (!number.empty()) setenv("DISPLAY", (":" + number).c_str(), 1);
    }
    ~PrivateDisplay() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
    }

private:
    pid_t m_pid = -1;
};

}  // namespace

int main(int argc, char** argv) {
    const bool listing = argc > 1 && std::strncmp(argv[1], "--gtest_list_tests", 18) == 0;
    std::unique_ptr<PrivateDisplay> display = listing ? nullptr : std::make_unique<PrivateDisplay>();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
