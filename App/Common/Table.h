// The locale code of each locale index.
#pragma once

#include <juce_core/juce_core.h>

struct LangList {
    juce::String m_code;
};

extern const LangList langList[12];
extern const LangList* plangList;
