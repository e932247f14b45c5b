// Starts like the updater does: claims the user's instance; refused, hands its command line to the running one;
// first, serves (after an optional delay) and prints each later start's command line until one equals the exit
// line.   single_instance_probe <app name> <command line> <exit line> [delay ms]
#include <juce_gui_basics/juce_gui_basics.h>
#include <ktrplatform/SingleInstance.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

using ktrplatform::SingleInstance;

int main(int argc, char** argv) {
    if (argc < 4) return 2;
    alarm(60);  // a test that failed half-way may never send the exit line
    const juce::String appName = juce::String::fromUTF8(argv[1]);
    const SingleInstance::Claim claim = SingleInstance::claim(appName);
    if (claim == SingleInstance::Claim::taken) {
        std::printf(SingleInstance::handOver(appName, juce::String::fromUTF8(argv[2])) ? "handed over\n"
                                                                                       : "no answer\n");
        return 0;
    }
    if (claim != SingleInstance::Claim::first) return 1;
    std::printf("claimed\n");
    std::fflush(stdout);
    if (argc > 4) std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[4])));
    juce::ScopedJuceInitialiser_GUI framework;
    SingleInstance instance(appName, [&](const juce::String& line) {
        std::printf("received: %s\n", line.toRawUTF8());
        std::fflush(stdout);
        if (line == juce::String::fromUTF8(argv[3])) juce::MessageManager::getInstance()->stopDispatchLoop();
    });
    std::printf(instance.isServing() ? "serving\n" : "not serving\n");
    std::fflush(stdout);
    if (instance.isServing()) juce::MessageManager::getInstance()->runDispatchLoop();
    return 0;
}
