#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ExpectedTexts.h"
#include "Table.h"
#include "TxtLoader.h"

namespace {

// Every test process keeps its preferences in a folder of its own.
class PreferencesFolder : public ::testing::Environment {
public:
    void SetUp() override {
        char pattern[] = "/tmp/ktr_text_tests_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        setenv("XDG_CONFIG_HOME", pattern, 1);
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

private:
    std::string m_dir;
};
[[maybe_unused]] const auto* const kFolder = ::testing::AddGlobalTestEnvironment(new PreferencesFolder);

CFStringRef kKey() { return CFSTR("AppleLanguages"); }

class Language : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) unsetenv(name);
    }
    void TearDown() override {
        TxtLoader::releaseInstance();
        CFPreferencesSetAppValue(kKey(), nullptr, kCFPreferencesCurrentApplication);
        CFPreferencesAppSynchronize(kCFPreferencesCurrentApplication);
    }
    // Stores the list as the user's choice of languages; an entry "#" stands for a number.
    static void store(const std::vector<std::string>& entries) {
        CFMutableArrayRef list = CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks);
        for (const std::string& entry : entries) {
            const int number = 2;
            CFTypeRef value = entry == "#" ? static_cast<CFTypeRef>(CFNumberCreate(nullptr, kCFNumberIntType, &number))
                                           : CFStringCreateWithCString(nullptr, entry.c_str(), kCFStringEncodingUTF8);
            CFArrayAppendValue(list, value);
            CFRelease(value);
        }
        CFPreferencesSetAppValue(kKey(), list, kCFPreferencesCurrentApplication);
        CFRelease(list);
    }
    static unsigned int chosen() {
        TxtLoader::releaseInstance();
        TxtLoader::createInstance();
        return TxtLoader::getInstance()->getLocale();
    }
};

TEST_F(Language, FirstStoredEntryThatBeginsWithACodeWins) {
    const std::pair<std::vector<std::string>, unsigned int> cases[] = {
        {{"de", "en"}, 2},
        {{"xx", "ko"}, 10},
        {{"PT_BR"}, 7},
        {{}, 0},
        {{"#", "fr"}, 1},                          // not a string
        {{"\xE6\x97\xA5\xE6\x9C\xAC", "ja"}, 11},  // no canonical identifier
        {{"de_DE_ABCDEFGH_X", "it"}, 4},           // 16 characters: does not fit
        {{"nl_NL_ABCDEFG_X", "it"}, 5},            // 15 characters: fits
        {{"zh", "zh_Hans"}, 8},
    };
    for (const auto& [entries, locale] : cases) {
        store(entries);
        EXPECT_EQ(chosen(), locale) << (entries.empty() ? std::string() : entries[0]);
    }
    CFPreferencesSetAppValue(kKey(), CFSTR("de"), kCFPreferencesCurrentApplication);  // no list
    EXPECT_EQ(chosen(), 0u);
}

TEST_F(Language, EnvironmentStandsInForAStoredList) {
    // LANGUAGE, LC_ALL, LC_MESSAGES, LANG (null: unset) and the locale chosen. The first of the last three that
    // is set decides, even when it names no language; LANGUAGE counts only when that is not C or POSIX.
    const struct {
        const char* vars[4];
        unsigned int locale;
    } cases[] = {
        {{nullptr, nullptr, nullptr, "zh_TW.UTF-8"}, 9},
        {{nullptr, nullptr, nullptr, "zh_CN.UTF-8"}, 8},
        {{nullptr, nullptr, nullptr, "zh"}, 0},
        {{nullptr, nullptr, nullptr, "de_DE.UTF-8@euro"}, 2},
        {{nullptr, nullptr, nullptr, "POSIX"}, 0},
        {{nullptr, nullptr, "fr_FR", "de_DE"}, 1},
        {{nullptr, "C.UTF-8", "fr_FR", "de_DE"}, 0},
        {{nullptr, "", nullptr, "de_DE"}, 2},
        {{"xx:C:ko_KR", nullptr, nullptr, "en_US"}, 10},
        {{"", nullptr, nullptr, "de_DE"}, 2},
        {{"it:de", "de_DE", nullptr, "C"}, 4},
        {{"ja", nullptr, nullptr, nullptr}, 0},
        {{"ja", "C", nullptr, "de_DE"}, 0},
        {{"ja", "C.UTF-8", nullptr, nullptr}, 0},
        {{"ja", nullptr, "POSIX", "de_DE"}, 0},
        {{"ja", nullptr, nullptr, "C@x"}, 0},
    };
    const char* const names[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};
    for (const auto& c : cases) {
        std::string row;
        for (int i = 0; i < 4; ++i) {
            if (c.vars[i] == nullptr) continue;
            setenv(names[i], c.vars[i], 1);
            row += std::string(names[i]) + "=" + c.vars[i] + " ";
        }
        EXPECT_EQ(chosen(), c.locale) << row;
        for (const char* name : names) unsetenv(name);
    }
    // What the user stored beats the environment.
    setenv("LANG", "de_DE", 1);
    store({"es"});
    EXPECT_EQ(chosen(), 3u);
}

TEST(Locale, CanonicalIdentifiers) {
    const std::pair<const char*, const char*> cases[] = {
        {"de_DE.UTF-8@euro", "de_DE"},
        {"zh_CN.UTF-8", "zh-Hans_CN"},
        {"zh_MO", "zh-Hant_MO"},
        {"zh_SG", "zh-Hans_SG"},
        {"zh", "zh"},
        {"EN-us", "en_US"},
        {"zh-hant-tw", "zh-Hant_TW"},
        {"es_419", "es_419"},
        {"C", nullptr},
        {"", nullptr},
        {"en_", nullptr},
        {"en_U$", nullptr},
        {"12", nullptr},
    };
    for (const auto& [in, out] : cases) {
        CFStringRef from = CFStringCreateWithCString(nullptr, in, kCFStringEncodingUTF8);
        CFStringRef to = CFLocaleCreateCanonicalLocaleIdentifierFromString(kCFAllocatorDefault, from);
        char text[32] = {};
        if (to != nullptr) CFStringGetCString(to, text, sizeof text, kCFStringEncodingASCII);
        EXPECT_STREQ(to != nullptr ? text : nullptr, out) << in;
        if (to != nullptr) CFRelease(to);
        CFRelease(from);
    }
    EXPECT_EQ(CFLocaleCreateCanonicalLocaleIdentifierFromString(kCFAllocatorDefault, nullptr), nullptr);
}

TEST_F(Language, StoredListSurvivesSynchronizeAndADamagedFileReadsAsNone) {
    const std::string file = std::string(getenv("XDG_CONFIG_HOME")) + "/ktrq7-updater/org.ktrq7.updater.plist";
    store({"ru"});
    ASSERT_TRUE(CFPreferencesAppSynchronize(kCFPreferencesCurrentApplication));
    ASSERT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(chosen(), 6u);  // read back from the file: synchronising dropped the copy in memory

    std::ofstream(file) << "<plist><array><string>ru";
    ASSERT_TRUE(CFPreferencesAppSynchronize(kCFPreferencesCurrentApplication));
    setenv("LANG", "ko_KR.UTF-8", 1);
    EXPECT_EQ(chosen(), 10u);

    // An application ID that would leave the folder names no preferences.
    EXPECT_FALSE(CFPreferencesAppSynchronize(CFSTR("../escape")));
    CFPreferencesSetAppValue(kKey(), CFSTR("x"), CFSTR("../escape"));
    EXPECT_EQ(CFPreferencesCopyAppValue(kKey(), CFSTR("../escape")), nullptr);
}

TEST_F(Language, LoaderKeepsItsStateByTheRules) {
    store({"fr"});
    TxtLoader::createInstance();
    TxtLoader* loader = TxtLoader::getInstance();
    ASSERT_EQ(loader->getLocale(), 1u);
    for (unsigned int i = 0; i < 12; ++i) {
        EXPECT_TRUE(loader->isLocale(i));
        EXPECT_EQ(loader->getFont(i), juce::String::fromUTF8(expected::kFontMac[i]));
        EXPECT_EQ(loader->getLang(i), juce::String::fromUTF8(expected::kLang[i]));
        EXPECT_EQ(plangList[i].m_code, expected::kCode[i]);
    }
    EXPECT_FALSE(loader->isLocale(12));
    EXPECT_TRUE(loader->getString(25).isEmpty() && loader->getFont(12).isEmpty() && loader->getLang(12).isEmpty());
    EXPECT_EQ(&loader->getFont(), &loader->getFont(1));

    // The same index reloads nothing; another replaces every string at once; one past the last is refused.
    const auto* before = loader->getString(3).getCharPointer().getAddress();
    loader->setLocale(1);
    EXPECT_EQ(loader->getString(3).getCharPointer().getAddress(), before);
    loader->setLocale(11);
    juce::String texts[25];
    for (unsigned int text = 0; text < 25; ++text) texts[text] = loader->getString(text);
    EXPECT_EQ(expected::hashOf(texts, 25), expected::kStringsHash[11]);
    loader->setLocale(12);
    EXPECT_EQ(loader->getLocale(), 11u);

    // A second creation changes nothing; after a release the choice is made afresh.
    store({"de"});
    TxtLoader::createInstance();
    EXPECT_EQ(TxtLoader::getInstance(), loader);
    EXPECT_EQ(TxtLoader::getInstance()->getLocale(), 11u);
    TxtLoader::releaseInstance();
    TxtLoader::releaseInstance();
    EXPECT_EQ(TxtLoader::getInstance()->getLocale(), 2u);
}

}  // namespace
