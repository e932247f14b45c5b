// Constructs the main component in the folder it runs from and prints what the update-file search and check
// left: name, validity, version and check result on one line.
#include <cstdio>

#include "MainComponent.h"

struct MainComponentTestAccess {
    static void print(const MainComponent& c) {
        std::printf("%s %d %d %d\n", c.m_updateFileName.toRawUTF8(), c.m_fileValid, c.m_fileVersion, c.m_fileCheck);
    }
};

int main() {
    const juce::ScopedJuceInitialiser_GUI gui;
    MainComponentTestAccess::print(MainComponent());
}
