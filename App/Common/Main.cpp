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
    // The framework's own check here would be one lock for the whole machine; ours is per user, as elsewhere,
    // and tells the running instance to come forward.
    const juce::String name = "KTR-Q7UpdateProgram";
    switch (ktrplatform::SingleInstance::claim(name)) {
        case ktrplatform::SingleInstance::Claim::first:
            break;
        case ktrplatform::SingleInstance::Claim::taken: {
            juce::StringArray arguments;
            for (int i = 1; i < argc; ++i) arguments.add(juce::String::fromUTF8(argv[i]));
            if (!ktrplatform::SingleInstance::handOver(name, arguments.joinIntoString(" ")))
                std::fprintf(stderr,
                             "KTR-Q7UpdateProgram: already running for this user, but the running instance "
                             "did not answer; this start ends.\n");
            return 0;
        }
        case ktrplatform::SingleInstance::Claim::unavailable:
            std::fprintf(stderr,
                         "KTR-Q7UpdateProgram: no private runtime folder (XDG_RUNTIME_DIR); a second start "
                         "will not be refused.\n");
            break;
    }
#endif
    juce::JUCEApplicationBase::createInstance = &createApplication;
    return juce::JUCEApplicationBase::main(argc, const_cast<const char**>(argv));
}
