#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "TxtLoader.h"

namespace {

// Every test process keeps its preferences in a folder of its own.
class PreferencesFolder : public ::testing::Environment {
    void SetUp() override {
        char pattern[] = "/tmp/ktr_text_tests_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        setenv("XDG_CONFIG_HOME", pattern, 1);
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }
    std::string m_dir;
};
[[maybe_unused]] const auto* const kFolder = ::testing::AddGlobalTestEnvironment(new PreferencesFolder);

// Stores the comma-separated entries as the user's choice of languages, or with null removes the choice; an entry
// "#" stands for a number.
void store(const char* entries) {
    CFMutableArrayRef list = CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks);
    for (const juce::String& entry : juce::StringArray::fromTokens(entries != nullptr ? entries : "", ",", "")) {
        const int number = 2;
        CFTypeRef value = entry == "#" ? static_cast<CFTypeRef>(CFNumberCreate(nullptr, kCFNumberIntType, &number))
                                       : CFStringCreateWithCString(nullptr, entry.toRawUTF8(), kCFStringEncodingUTF8);
        CFArrayAppendValue(list, value);
        CFRelease(value);
    }
    CFPreferencesSetAppValue(CFSTR("AppleLanguages"), entries != nullptr ? list : nullptr,
                             kCFPreferencesCurrentApplication);
    CFRelease(list);
}

unsigned int chosen() {
    TxtLoader::releaseInstance();
    TxtLoader::createInstance();
    return TxtLoader::getInstance()->getLocale();
}

class Language : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) unsetenv(name);
    }
    void TearDown() override {
        SetUp();
        TxtLoader::releaseInstance();
        store(nullptr);
        CFPreferencesAppSynchronize(kCFPreferencesCurrentApplication);
    }
};

TEST_F(Language, FirstStoredEntryThatBeginsWithACodeOrElseTheEnvironment) {
    // The stored list (null: no choice stored), the environment and the locale. Without a stored list the first of
    // LC_ALL, LC_MESSAGES and LANG that is set decides, even when it names no language, and LANGUAGE counts only when
    // that is not C or POSIX.
    // clang-format off
    const struct {
        const char *stored, *environment;
        unsigned int locale;
    } cases[] = {
        {"de,en", "", 2}, {"xx,ko", "", 10}, {"PT_BR", "", 7}, {"es_419", "", 3}, {"de_DE.UTF-8@euro", "", 2},
        // not a string, no canonical identifier, nothing usable
        {"#,fr", "", 1}, {"\xE6\x97\xA5\xE6\x9C\xAC,ja", "", 11}, {"C,,en_,en_U$,12,ko", "", 10},
        {"de_DE_ABCDEFGH_X,it", "", 4}, {"nl_NL_ABCDEFG_X,it", "", 5},  // 16 characters do not fit, 15 do
        {"zh,zh_Hans", "", 8}, {"zh_MO", "", 9}, {"zh_SG", "", 8}, {"zh-hant-tw", "", 9},
        {"es", "LANGUAGE=it LANG=de_DE", 3}, {"", "LANG=de_DE", 0},
        {nullptr, "LANG=zh_TW.UTF-8", 9}, {nullptr, "LANG=zh_CN.UTF-8", 8}, {nullptr, "LANG=zh", 0},
        {nullptr, "LANG=de_DE.UTF-8@euro", 2}, {nullptr, "LANG=POSIX", 0}, {nullptr, "LC_MESSAGES=fr_FR LANG=de_DE", 1},
        {nullptr, "LC_ALL=C.UTF-8 LC_MESSAGES=fr_FR LANG=de_DE", 0}, {nullptr, "LC_ALL= LANG=de_DE", 2},
        {nullptr, "LANGUAGE=xx:C:ko_KR LANG=en_US", 10}, {nullptr, "LANGUAGE= LANG=de_DE", 2},
        {nullptr, "LANGUAGE=it:de LC_ALL=de_DE LANG=C", 4}, {nullptr, "LANGUAGE=ja", 0},
        {nullptr, "LANGUAGE=ja LC_ALL=C LANG=de_DE", 0}, {nullptr, "LANGUAGE=ja LC_ALL=C.UTF-8", 0},
        {nullptr, "LANGUAGE=ja LC_MESSAGES=POSIX LANG=de_DE", 0}, {nullptr, "LANGUAGE=ja LANG=C@x", 0},
    };
    // clang-format on
    for (const auto& c : cases) {
        store(c.stored);
        for (const juce::String& v : juce::StringArray::fromTokens(c.environment, " ", ""))
            setenv(v.upToFirstOccurrenceOf("=", false, false).toRawUTF8(),
                   v.fromFirstOccurrenceOf("=", false, false).toRawUTF8(), 1);
        EXPECT_EQ(chosen(), c.locale) << (c.stored ? c.stored : "no list") << " " << c.environment;
        SetUp();
    }
    CFPreferencesSetAppValue(CFSTR("AppleLanguages"), CFSTR("de"), kCFPreferencesCurrentApplication);  // no list
    EXPECT_EQ(chosen(), 0u);
    EXPECT_EQ(CFLocaleCreateCanonicalLocaleIdentifierFromString(kCFAllocatorDefault, nullptr), nullptr);
}

TEST_F(Language, ADamagedFileReadsAsNoChoice) {
    store("ru");
    ASSERT_TRUE(CFPreferencesAppSynchronize(kCFPreferencesCurrentApplication));
    std::ofstream(std::string(getenv("XDG_CONFIG_HOME")) + "/ktrq7-updater/org.ktrq7.updater.plist")
        << "<plist><array><string>ru";
    ASSERT_TRUE(CFPreferencesAppSynchronize(kCFPreferencesCurrentApplication));
    EXPECT_EQ(chosen(), 0u);
    // An application ID that would leave the folder names no preferences.
    EXPECT_FALSE(CFPreferencesAppSynchronize(CFSTR("../escape")));
    CFPreferencesSetAppValue(CFSTR("AppleLanguages"), CFSTR("x"), CFSTR("../escape"));
    EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("AppleLanguages"), CFSTR("../escape")), nullptr);
}

TEST_F(Language, LoaderKeepsItsStateByTheRules) {
    store("fr");
    TxtLoader* loader = TxtLoader::getInstance();
    EXPECT_TRUE(loader->getString(25).isEmpty() && loader->getFont(12).isEmpty() && loader->getLang(12).isEmpty());
    EXPECT_EQ(&loader->getFont(), &loader->getFont(1));
    loader->setLocale(12);  // refused
    // A second creation changes nothing; after a release the choice is made afresh.
    store("de");
    TxtLoader::createInstance();
    EXPECT_EQ(TxtLoader::getInstance(), loader);
    EXPECT_EQ(loader->getLocale(), 1u);
    TxtLoader::releaseInstance();
    TxtLoader::releaseInstance();
    EXPECT_EQ(TxtLoader::getInstance()->getLocale(), 2u);
}

}  // namespace
