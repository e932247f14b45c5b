#include <gtest/gtest.h>
#include <ktrsim/FaultText.h>

using namespace ktrsim;
using namespace std::chrono_literals;

TEST(FaultText, EveryFieldCanBeSet) {
    std::string error;
    auto f = parseFaultText("chunk=3,reply=0xFE", error);
    ASSERT_TRUE(f) << error;
    EXPECT_EQ(f->step.kind, Step::Kind::Chunk);
    EXPECT_EQ(f->step.index, 3u);
    EXPECT_EQ(f->replyCode, 0xFE);
    EXPECT_FALSE(f->noReply);
    EXPECT_EQ(f->removal, Fault::Removal::None);

    f = parseFaultText("cmd=0xF2:0,noreply", error);
    ASSERT_TRUE(f) << error;
    EXPECT_EQ(f->step.kind, Step::Kind::Command);
    EXPECT_EQ(f->step.command, 0xF2);
    EXPECT_EQ(f->step.index, 0u);
    EXPECT_TRUE(f->noReply);

    f = parseFaultText("percent=255,report=12,delay=1500,unplug=instead,rearrive=200,size=65530", error);
    ASSERT_TRUE(f) << error;
    EXPECT_EQ(f->step.kind, Step::Kind::Report);
    EXPECT_EQ(f->step.index, 12u);
    EXPECT_EQ(f->percent, 255);
    EXPECT_EQ(f->delay, 1500ms);
    EXPECT_EQ(f->removal, Fault::Removal::InsteadOfReply);
    EXPECT_EQ(f->rearriveAfter, 200ms);
    EXPECT_EQ(f->replySize, 65530u);

    EXPECT_EQ(parseFaultText("chunk=5,unplug=after", error)->removal, Fault::Removal::AfterReply);
}

TEST(FaultText, MalformedFaultsRefusedWithAReason) {
    // clang-format off
    const char* const malformed[] = {
        "", ",", "chunk", "chunk=", "chunk=-1", "chunk=3x", "chunk=0x", "report=1,chunk=2", "chunk=1,chunk=2",
        "reply=0xFE", "chunk=1,reply=256", "chunk=1,reply=0x100", "chunk=1,percent=", "cmd=0xF2", "cmd=0xF2:",
        "cmd=:1", "cmd=0x1F2:0", "cmd=1:2:3", "chunk=1,noreply=1", "chunk=1,unplug=later", "chunk=1,rearrive=10",
        "chunk=1,size=65531", "chunk=1,delay=86400001", "chunk=1,bogus=1", "chunk=1,,noreply",
        "chunk=99999999999999999999999", "chunk=1 ,noreply", "chunk=010x"};
    // clang-format on
    for (const char* text : malformed) {
        std::string error;
        EXPECT_FALSE(parseFaultText(text, error)) << text;
        EXPECT_NE(error.find("bad fault"), std::string::npos) << text;
    }
}

TEST(FaultText, NumbersAreBoundedWithoutWrapping) {
    EXPECT_EQ(parseUnsigned("0", 0), 0u);
    EXPECT_EQ(parseUnsigned("0xff", 255), 255u);
    EXPECT_EQ(parseUnsigned("0XFF", 255), 255u);
    EXPECT_EQ(parseUnsigned("010", 100), 10u);  // decimal, not octal
    EXPECT_EQ(parseUnsigned("18446744073709551615", UINT64_MAX), UINT64_MAX);
    const std::pair<const char*, uint64_t> refused[] = {{"1", 0},   {"256", 255}, {"18446744073709551616", UINT64_MAX},
                                                        {"+1", 10}, {" 1", 10},   {"0x10000000000000000", UINT64_MAX},
                                                        {"0x", 10}};
    for (const auto& [text, max] : refused) EXPECT_FALSE(parseUnsigned(text, max)) << text;
}
