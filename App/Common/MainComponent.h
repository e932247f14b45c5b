// The window's content and the update controller in one object.
#pragma once

#include "includes.h"

class MainComponent {
public:
    MainComponent();

    // Finds the update file in the executable's folder; appends its name to the caller's zero-filled buffer.
    static bool GetUpFilePath(const char* prefix, const char* extension, char* buffer);
    static bool CheckFileName(const char* name, const char* prefix, const char* extension);
    // Reads the named file of the executable's folder, fills the block table and gives its length less 36 when
    // the tag matches, else 0.
    int checkUPD(juce::String const& fileName, unsigned char const* tag, int* version);
    static juce::uint16 calcCRC(unsigned char const* data, long length);
    static juce::uint8 ConvertAsciiToHex(unsigned char c);

private:
    friend struct MainComponentTestAccess;

    int m_fileVersion;
    int m_fileValid;
    int m_fileCheck;
    // Written by a successful read only; zeroed so that they never hold indeterminate values.
    juce::int64 m_blockSize[1] = {};
    juce::uint16 m_blockCrc[1] = {};
    juce::uint8 m_blockFlag[1] = {};
    unsigned char m_reply[1024];
    double m_lastPercent;
    juce::String m_updateFileName;
};
