// The smallest JUCE program with a window like the updater's: the yardstick of the start-up benchmark.
#include <juce_gui_basics/juce_gui_basics.h>
#include <ktrplatform/SystemFonts.h>

namespace {

class Content : public juce::Component {
public:
    Content() { setSize(420, 170); }
    void paint(juce::Graphics& g) override {
        g.fillAll(juce::Colour(234, 234, 234));
        g.setColour(juce::Colours::black);
        g.setFont(juce::Font(13.0f, juce::Font::bold));
        g.drawText("Language Selections", 20, 20, getWidth() - 40, 16, juce::Justification::topLeft);
    }
};

class Window : public juce::ResizableWindow {
public:
    Window() : juce::ResizableWindow("MinimalWindow", true) {
        setContentOwned(new Content(), true);
        centreWithSize(getWidth(), getHeight());
        setVisible(true);
        setUsingNativeTitleBar(true);
    }
};

class MinimalApplication : public juce::JUCEApplication {
public:
    const juce::String getApplicationName() override { return "MinimalWindow"; }
    const juce::String getApplicationVersion() override { return "1"; }
    bool moreThanOneInstanceAllowed() override { return true; }
    // With --system-fonts it finds its font the way the updater does, through fontconfig.
    void initialise(const juce::String& commandLine) override {
        m_systemFonts = commandLine.contains("--system-fonts");
        if (m_systemFonts) ktrplatform::installSystemFonts([] { return juce::String("en"); });
        m_window = std::make_unique<Window>();
    }
    void shutdown() override {
        m_window.reset();
        if (m_systemFonts) ktrplatform::uninstallSystemFonts();
    }

private:
    std::unique_ptr<Window> m_window;
    bool m_systemFonts = false;
};

juce::JUCEApplicationBase* create() { return new MinimalApplication(); }

}  // namespace

int main(int argc, char* argv[]) {
    juce::JUCEApplicationBase::createInstance = &create;
    return juce::JUCEApplicationBase::main(argc, const_cast<const char**>(argv));
}
