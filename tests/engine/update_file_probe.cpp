// Constructs the main component in the folder it runs from and prints what the update-file search and check
// left, one key=value a line. Each argument names a file of that folder to check once more afterwards.
#include <cstdio>

#include "MainComponent.h"

struct MainComponentTestAccess {
    static void printFields(const MainComponent& c) {
        std::printf("name=%s\nvalid=%d\nversion=%d\ncheck=%d\n", c.m_updateFileName.toRawUTF8(), c.m_fileValid,
                    c.m_fileVersion, c.m_fileCheck);
        printBlock(c);
    }
    static void printBlock(const MainComponent& c) {
        std::printf("blockSize=%lld\nblockCrc=%u\nblockFlag=%u\n", static_cast<long long>(c.m_blockSize[0]),
                    static_cast<unsigned>(c.m_blockCrc[0]), static_cast<unsigned>(c.m_blockFlag[0]));
    }
};

int main(int argc, char** argv) {
    const juce::ScopedJuceInitialiser_GUI gui;
    MainComponent component;
    MainComponentTestAccess::printFields(component);
    for (int i = 1; i < argc; ++i) {
        int version = 0;
        const int result = component.checkUPD(juce::String::fromUTF8(argv[i]),
                                              reinterpret_cast<unsigned char const*>("TL382 "), &version);
        std::printf("checkResult=%d\ncheckVersion=%d\n", result, version);
        MainComponentTestAccess::printBlock(component);
    }
    return 0;
}
