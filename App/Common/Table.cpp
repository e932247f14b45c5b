#include "Table.h"

const LangList langList[12] = {
    {"en"}, {"fr"}, {"de"}, {"es"}, {"it"}, {"nl"}, {"ru"}, {"pt"}, {"zh-Hans"}, {"zh-Hant"}, {"ko"}, {"ja"},
};

const LangList* plangList = langList;
