#include "Application.h"

#include "MainWindow.h"

#if KTR_LINUX_DESKTOP
#include <ktrplatform/MessageThreadRunLoop.h>
#include <ktrplatform/RaiseWindow.h>
#include <ktrplatform/SingleInstance.h>
#include <ktrplatform/SystemFonts.h>
#include <ktrplatform/XEventQueueWatch.h>

#include <memory>

#include "Table.h"
#include "TxtLoader.h"

namespace {

// What the desktop gives a program elsewhere and Linux lacks: fonts by family name, word of a second start,
// device events delivered on the message thread, and X events that no framework call leaves waiting.
struct LinuxDesktop {
    std::unique_ptr<ktrplatform::MessageThreadRunLoop> runLoop;
    std::unique_ptr<ktrplatform::SingleInstance> singleInstance;
    std::unique_ptr<ktrplatform::XEventQueueWatch> xEvents;
};

LinuxDesktop& desktop() {
    static LinuxDesktop d;
    return d;
}

}  // namespace
#endif

Application::Application() : m_mainWindow(nullptr) {}

Application::~Application() {}

void Application::initialise(const juce::String&) {
#if KTR_LINUX_DESKTOP
    ktrplatform::installSystemFonts([] {
        const TxtLoader* txt = TxtLoader::existingInstance();
        const unsigned int locale = txt != nullptr ? txt->getLocale() : 0;
        return locale < 12 ? langList[locale].m_code : langList[0].m_code;
    });
    desktop().runLoop = std::make_unique<ktrplatform::MessageThreadRunLoop>();
    desktop().xEvents = std::make_unique<ktrplatform::XEventQueueWatch>();
    desktop().singleInstance = std::make_unique<ktrplatform::SingleInstance>(
        getApplicationName(), [this](const juce::String& commandLine) { anotherInstanceStarted(commandLine); });
#endif
    m_mainWindow = new MainWindow();
}

void Application::shutdown() {
    if (m_mainWindow != nullptr) {
        delete m_mainWindow;
        m_mainWindow = nullptr;
    }
#if KTR_LINUX_DESKTOP
    desktop().singleInstance.reset();
    desktop().xEvents.reset();
    desktop().runLoop.reset();
    ktrplatform::uninstallSystemFonts();
#endif
}

const juce::String Application::getApplicationName() { return "KTR-Q7UpdateProgram"; }

const juce::String Application::getApplicationVersion() { return "0.0.0.2"; }

bool Application::moreThanOneInstanceAllowed() {
#if KTR_LINUX_DESKTOP
    // main() has refused a second start already, per user; the framework's check would add one lock for the
    // whole machine.
    return true;
#else
    return false;
#endif
}

void Application::anotherInstanceStarted(const juce::String&) {
    if (m_mainWindow != nullptr && m_mainWindow->isVisible()) {
        m_mainWindow->toFront(true);
#if KTR_LINUX_DESKTOP
        ktrplatform::raiseWindow(m_mainWindow->getWindowHandle());
#endif
    }
}

void Application::systemRequestedQuit() {
    if (m_mainWindow != nullptr && m_mainWindow->isTransferRunning()) return;
    quit();
}
