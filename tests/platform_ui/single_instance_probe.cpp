// Starts like the updater does: hands its command line to a running instance, or serves and prints each later
// start's command line until one equals the exit line.
//   single_instance_probe <app name> <command line> <exit line>
#include <juce_gui_basics/juce_gui_basics.h>
#include <ktrplatform/SingleInstance.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <app name> <command line> <exit line>\n", argv[0]);
        return 2;
    }
    const juce::String appName = juce::String::fromUTF8(argv[1]);
    const juce::String exitLine = juce::String::fromUTF8(argv[3]);
    if (ktrplatform::SingleInstance::handOver(appName, juce::String::fromUTF8(argv[2]))) {
        std::printf("handed over\n");
        return 0;
    }

    juce::ScopedJuceInitialiser_GUI framework;
    ktrplatform::SingleInstance instance(appName, [&](const juce::String& line) {
        std::printf("received: %s\n", line.toRawUTF8());
        std::fflush(stdout);
        if (line == exitLine) juce::MessageManager::getInstance()->stopDispatchLoop();
    });
    if (!instance.isServing()) {
        std::printf("not serving\n");
        return 1;
    }
    std::printf("serving\n");
    std::fflush(stdout);
    juce::MessageManager::getInstance()->runDispatchLoop();
    return 0;
}
