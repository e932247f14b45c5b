#define JUCE_GUI_BASICS_INCLUDE_XHEADERS 1
#include <gtest/gtest.h>
#include <juce_gui_basics/juce_gui_basics.h>
#include <ktrplatform/XEventQueueWatch.h>

#include <memory>

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
