// The update file: its name, the search of the program's folder, the check of its bytes and its CRC.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "Road.h"

namespace fs = std::filesystem;
using namespace road;

namespace {

using Files = std::vector<std::pair<std::string, Bytes>>;

// Lays out the files (a name ending in '/' is a folder) in a folder named outside ASCII beside a link to the
// probe, and gives what the probe prints and the first .upd name the folder lists.
std::pair<std::string, std::string> probe(const Files& files) {
    const fs::path dir = fs::temp_directory_path() / ("ktr-\xc3\xa9t\xc3\xa9-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directory(dir);
    fs::create_symlink(KTR_UPDATE_FILE_PROBE, dir / "probe");
    for (const auto& [name, bytes] : files) {
        if (name.back() == '/') fs::create_directory(dir / name);
        std::ofstream(dir / name, std::ios::binary) << std::string(bytes.begin(), bytes.end());
    }
    std::string out, first;
    for (const auto& entry : fs::directory_iterator(dir))
        if (first.empty() && entry.path().extension() == ".upd") first = entry.path().filename();
    char line[256];
    std::FILE* pipe = popen((dir / "probe").c_str(), "r");
    while (pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr) out += line;
    EXPECT_EQ(pipe != nullptr ? pclose(pipe) : -1, 0);
    fs::remove_all(dir);
    return {out, first};
}

Bytes put(Bytes file, std::size_t at, const char* text) {
    std::copy_n(text, std::strlen(text), file.begin() + static_cast<long>(at));
    return file;
}

TEST(UpdateFileCrc, KnownVectorsAndTheBitwiseDefinitionAgree) {
    EXPECT_EQ(MainComponent::calcCRC(nullptr, 0), 0x0000);
    EXPECT_EQ(MainComponent::calcCRC(reinterpret_cast<const unsigned char*>("123456789"), 9), 0x31C3);
    const Bytes data = simtest::makeFile(70000, 12345);
    EXPECT_EQ(MainComponent::calcCRC(data.data(), -5), 0x0000);
    // Every length around the eight-byte stride, at every alignment, then long runs.
    for (std::size_t offset = 0; offset < 8; ++offset)
        for (std::size_t length : {0, 1, 7, 8, 9, 15, 16, 17, 23, 40, 1000, 4099, 69992})
            ASSERT_EQ(MainComponent::calcCRC(data.data() + offset, static_cast<long>(length)),
                      ktrsim::crc16Xmodem(data.data() + offset, length))
                << offset << "/" << length;
}

TEST(UpdateFileHex, DigitsOfBothCasesAndZeroForEverythingElse) {
    for (int c = 0; c < 256; ++c) {
        const int expected = std::isxdigit(c) != 0 ? std::stoi(std::string(1, static_cast<char>(c)), nullptr, 16) : 0;
        EXPECT_EQ(MainComponent::ConvertAsciiToHex(static_cast<unsigned char>(c)), expected) << c;
    }
}

TEST(UpdateFileName, RuleOfPrefixExtensionAndByteLength) {
    // Eleven characters but twelve bytes, and thirteen characters in fourteen bytes: bytes count.
    for (const char* name :
         {"ktrq7_v1.upd", "ktrq7_0123.upd", "ktrq7_.updxx", "ktrq7_\xc3\xa9.upd", "ktrq7_ab\xc3\xa9.upd"})
        EXPECT_TRUE(MainComponent::CheckFileName(name, "ktrq7_", ".upd")) << name;
    for (const char* name : {"ktrq7_1.upd", "ktrq7_01234.upd", "ktrq7_1.2.upd", "Ktrq7_v1.upd", "KTRQ7_v1.upd",
                             "ktrq7_v1.UPD", "ktrq7_nodotx", "", "ktrq7_abc\xc3\xa9.upd"})
        EXPECT_FALSE(MainComponent::CheckFileName(name, "ktrq7_", ".upd")) << name;
    EXPECT_FALSE(MainComponent::CheckFileName(nullptr, "ktrq7_", ".upd"));
}

// What the program takes from its folder: name, validity, version and check result.
TEST(UpdateFileSearch, TakesTheNameItsRulesPickAndJudgesTheFile) {
    const Bytes good = updateFile(64), v205 = updateFile(64, 205);
    const std::vector<std::pair<Files, std::string>> cases = {
        {{}, " 0 -1 0\n"},
        // The lower-case name is taken even though only the upper-case files would pass the check.
        {{{"KTRQ7_aa.upd", good}, {"ktrq7_bb.upd", {}}, {"KTRQ7_cc.upd", good}}, "ktrq7_bb.upd 0 -1 0\n"},
        {{{"KTRQ7_0123.upd", v205}, {"ktrq7_toolong.upd", good}}, "KTRQ7_0123.upd 1 205 28\n"},
        {{{"ktrq7_ok.UPD", good}, {"Ktrq7_v1.upd", good}, {"ktrq7_abc\xc3\xa9.upd", good}, {"ktrq7_dir.upd/", {}}},
         " 0 -1 0\n"},
        {{{"ktrq7_\xc3\xa9.upd", updateFile(80, 42)}}, "ktrq7_\xc3\xa9.upd 1 42 44\n"},
        {{{"ktrq7_36.upd", updateFile(36)}}, "ktrq7_36.upd 0 -1 0\n"},
        {{{"ktrq7_37.upd", updateFile(37)}}, "ktrq7_37.upd 1 123 1\n"},
        {{{"ktrq7_000.upd", updateFile(64, 0)}}, "ktrq7_000.upd 0 -1 0\n"},
        {{{"ktrq7_001.upd", updateFile(64, 1)}}, "ktrq7_001.upd 1 1 28\n"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(probe(cases[i].first).first, cases[i].second) << i;

    // Within one prefix the first name the folder lists wins: the list is not sorted.
    Files many;
    for (char c : std::string("qwertyuiopas")) many.push_back({std::string("ktrq7_") + c + c + ".upd", good});
    const auto [out, first] = probe(many);
    EXPECT_EQ(out, first + " 1 123 28\n");
}

// The file's bytes, what the check gives for them and whether it fills the block table.
struct Check {
    const char* what;
    Bytes bytes;
    int result, version;
    off_t change = 0;  // > 0: stretched with zeros to this length; -1: removed; -2: a fifo, which would block;
                       // -3: without read permission, which root has anyway
};

TEST(UpdateFileCheck, ResultVersionAndBlockTable) {
    const Bytes good = updateFile(64), head = updateFile(37);
    Bytes longest = head;
    longest.resize(0xFFFFFF);
    const std::vector<Check> cases = {
        {"37 bytes", head, 1, 123},
        {"36 bytes", updateFile(36), 0, 123},
        {"23 bytes", updateFile(23), -13, 123},
        {"22 bytes: no version", updateFile(22), -14, -1},
        {"4 bytes", {'T', 'L', '3', '8'}, 0, -1},
        {"empty", {}, 0, -1},
        {"tag in lower case", put(good, 0, "tl382"), 0, 123},
        {"tag one off", put(good, 0, "TL383"), 0, 123},
        {"sixth tag byte free", put(good, 0, "TL382?"), 28, 123},
        {"no digit test", put(good, 20, "1A0"), 28, 270},
        {"longest", longest, 0xFFFFFF - 36, 123},
        // Longer than three bytes, at 2 GiB where a signed 32-bit length turns negative, past 4 GiB where it
        // would wrap to a small valid-looking length: refused before anything is read.
        {"one byte too long", head, 0, -1, 0x1000000},
        {"2 GiB", head, 0, -1, off_t{1} << 31},
        {"4 GiB and 40 bytes", head, 0, -1, (off_t{1} << 32) + 40},
        {"unreadable", head, 0, -1, -3},
        {"missing", head, 0, -1, -1},
        {"fifo", head, 0, -1, -2},
    };
    Harness h;
    for (const Check& c : cases) {
        SCOPED_TRACE(c.what);
        h.useFile(c.bytes);
        const auto before = h.block();
        if (c.change == -1 || c.change == -2) std::remove(h.path.c_str());
        ASSERT_TRUE(c.change != -2 || mkfifo(h.path.c_str(), 0600) == 0);
        if (c.change == -3 && (chmod(h.path.c_str(), 0) != 0 || geteuid() == 0)) continue;
        ASSERT_TRUE(c.change <= 0 || truncate(h.path.c_str(), c.change) == 0);
        // A check that opens the fifo would wait for a writer for ever: be that writer, and fail at once.
        std::atomic<bool> checked{false}, opened{false};
        std::thread writer;
        if (c.change == -2)
            writer = std::thread([&] {
                while (!checked.load()) {
                    const int fd = open(h.path.c_str(), O_WRONLY | O_NONBLOCK);
                    if (fd >= 0) {
                        opened = true;
                        close(fd);
                        return;
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
            });
        int version = 0;
        EXPECT_EQ(h.c.checkUPD(h.path, Harness::tag(), &version), c.result);
        checked = true;
        if (writer.joinable()) writer.join();
        EXPECT_FALSE(opened) << "the check opened the fifo";
        EXPECT_EQ(version, c.version);
        const std::array<long long, 3> filled{static_cast<long long>(c.bytes.size()),
                                              ktrsim::crc16Xmodem(c.bytes.data(), c.bytes.size()), 1};
        EXPECT_EQ(h.block(), c.change != 0 ? before : filled);
    }
    std::remove(h.path.c_str());
}

}  // namespace
