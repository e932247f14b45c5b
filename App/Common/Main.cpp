// Process entry of the updater.
#include "Application.h"

#if KTR_LINUX_DESKTOP
#include <ktrplatform/Display.h>
#include <ktrplatform/SingleInstance.h>

#include <cstdio>
#endif

static juce::JUCEApplicationBase* createApplication() { return new Application(); }

int main(int argc, char* argv[]) {
#if KTR_LINUX_DESKTOP
    if (!ktrplatform::displayAvailable()) {
        std::fprintf(stderr, "KTR-Q7UpdateProgram: cannot open the display; start it from a desktop session.\n");
        return 1;
    }
    // The framework only refuses a second start here; the running instance must hear of it to come forward.
    juce::StringArray arguments;
    for (int i = 1; i < argc; ++i) arguments.add(juce::String::fromUTF8(argv[i]));
    if (ktrplatform::SingleInstance::handOver("KTR-Q7UpdateProgram", arguments.joinIntoString(" "))) return 0;
#endif
    juce::JUCEApplicationBase::createInstance = &createApplication;
    return juce::JUCEApplicationBase::main(argc, const_cast<const char**>(argv));
}
