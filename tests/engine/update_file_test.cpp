#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "MainComponent.h"

namespace fs = std::filesystem;

namespace {

// The CRC as its definition states it: a 24-bit register, augmented by two zero bytes.
std::uint16_t bitwiseCrc(const unsigned char* data, std::size_t length) {
    std::uint32_t reg = 0;
    const auto shift = [&reg] {
        reg <<= 1;
        if ((reg & 0x1000000u) != 0) reg ^= 0x1102100u;
    };
    for (std::size_t i = 0; i < length; ++i) {
        reg |= data[i];
        for (int bit = 0; bit < 8; ++bit) shift();
    }
    for (int bit = 0; bit < 16; ++bit) shift();
    return static_cast<std::uint16_t>(reg >> 8);
}

std::uint16_t crcOf(const std::string& bytes) {
    return MainComponent::calcCRC(reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<long>(bytes.size()));
}

// An update file of the given length: tag at 0, version digits at 20-22 when they fit, filler elsewhere.
std::string updateFile(std::size_t length, const std::string& version = "123", const std::string& tag = "TL382") {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(i * 7 + 3);
    bytes.replace(0, std::min(tag.size(), length), tag.substr(0, std::min(tag.size(), length)));
    if (length >= 23) bytes.replace(20, 3, version);
    return bytes;
}

using Fields = std::map<std::string, std::string>;

// A temporary folder holding a symlink to the probe, so that the probe takes it for its own folder.
class ProbeFolder {
public:
    explicit ProbeFolder(const std::string& stem = "ktr-upd") {
        std::string pattern = (fs::temp_directory_path() / (stem + "-XXXXXX")).string();
        if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
        m_path = pattern;
        fs::create_symlink(KTR_UPDATE_FILE_PROBE, m_path / "probe");
    }
    ~ProbeFolder() {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
    const fs::path& path() const { return m_path; }

    void write(const std::string& name, const std::string& bytes) const {
        std::ofstream(m_path / name, std::ios::binary) << bytes;
    }
    // Sparse: the head holds tag and version, the rest reads as zeros.
    void writeSparse(const std::string& name, off_t length) const {
        write(name, updateFile(37));
        ASSERT_EQ(truncate((m_path / name).c_str(), length), 0) << name;
    }

    // Runs the probe by its absolute path, or relatively from the folder above when asked. The paths are
    // made here and need no quoting.
    Fields run(const std::vector<std::string>& checks = {}, bool relative = false) const {
        std::string command =
            relative ? "cd " + m_path.parent_path().string() + " && " + m_path.filename().string() + "/probe"
                     : (m_path / "probe").string();
        for (const auto& name : checks) command += " " + name;
        Fields fields;
        std::FILE* pipe = popen(command.c_str(), "r");
        if (pipe == nullptr) return fields;
        char line[1024];
        while (std::fgets(line, sizeof line, pipe) != nullptr) {
            std::string text(line);
            if (!text.empty() && text.back() == '\n') text.pop_back();
            const auto eq = text.find('=');
            if (eq != std::string::npos) fields[text.substr(0, eq)] = text.substr(eq + 1);
        }
        EXPECT_EQ(pclose(pipe), 0) << command;
        return fields;
    }

private:
    fs::path m_path;
};

void expectInvalid(const Fields& f) {
    EXPECT_EQ(f.at("valid"), "0");
    EXPECT_EQ(f.at("version"), "-1");
    EXPECT_EQ(f.at("check"), "0");
}

void expectValid(const Fields& f, const std::string& name, const std::string& bytes, int version) {
    EXPECT_EQ(f.at("name"), name);
    EXPECT_EQ(f.at("valid"), "1");
    EXPECT_EQ(f.at("version"), std::to_string(version));
    EXPECT_EQ(f.at("check"), std::to_string(static_cast<long>(bytes.size()) - 36));
    EXPECT_EQ(f.at("blockSize"), std::to_string(bytes.size()));
    EXPECT_EQ(f.at("blockCrc"), std::to_string(crcOf(bytes)));
    EXPECT_EQ(f.at("blockFlag"), "1");
}

}  // namespace

TEST(UpdateFileCrc, KnownVectorsAndBitwiseDefinitionAgree) {
    EXPECT_EQ(MainComponent::calcCRC(nullptr, 0), 0x0000);
    EXPECT_EQ(crcOf(""), 0x0000);
    EXPECT_EQ(crcOf("123456789"), 0x31C3);

    std::mt19937 random(12345);
    std::vector<unsigned char> data(70000);
    for (auto& b : data) b = static_cast<unsigned char>(random());
    // Every length around the eight-byte stride, at every alignment, then long runs.
    for (std::size_t offset = 0; offset < 8; ++offset)
        for (std::size_t length = 0; length <= 40; ++length)
            ASSERT_EQ(MainComponent::calcCRC(data.data() + offset, static_cast<long>(length)),
                      bitwiseCrc(data.data() + offset, length))
                << offset << "/" << length;
    for (std::size_t length : {1000u, 4099u, 65536u, 69999u})
        EXPECT_EQ(MainComponent::calcCRC(data.data(), static_cast<long>(length)), bitwiseCrc(data.data(), length));
    EXPECT_EQ(MainComponent::calcCRC(data.data(), -5), 0x0000);
}

TEST(UpdateFileHex, DigitsOfBothCasesAndZeroForEverythingElse) {
    for (int c = 0; c < 256; ++c) {
        const char text[2] = {static_cast<char>(c), '\0'};
        const int expected = std::isxdigit(c) != 0 ? static_cast<int>(std::strtol(text, nullptr, 16)) : 0;
        EXPECT_EQ(MainComponent::ConvertAsciiToHex(static_cast<unsigned char>(c)), expected) << c;
    }
}

TEST(UpdateFileName, RuleOfPrefixExtensionAndByteLength) {
    // Eleven characters but twelve bytes, and thirteen characters in fourteen bytes: bytes count.
    for (const char* name : {"ktrq7_v1.upd", "ktrq7_012.upd", "ktrq7_0123.upd", "ktrq7_.updxx", "ktrq7_\xc3\xa9.upd",
                             "ktrq7_ab\xc3\xa9.upd"})
        EXPECT_TRUE(MainComponent::CheckFileName(name, "ktrq7_", ".upd")) << name;
    EXPECT_TRUE(MainComponent::CheckFileName("KTRQ7_0123.upd", "KTRQ7_", ".upd"));
    for (const char* name : {"ktrq7_1.upd", "ktrq7_01234.upd", "ktrq7_1.2.upd", "Ktrq7_v1.upd", "KTRQ7_v1.upd",
                             "ktrq7_v1.UPD", "ktrq7_nodotx", "ktrq7", "", "ktrq7_abc\xc3\xa9.upd"})
        EXPECT_FALSE(MainComponent::CheckFileName(name, "ktrq7_", ".upd")) << name;
    EXPECT_FALSE(MainComponent::CheckFileName(nullptr, "ktrq7_", ".upd"));
}

// Files laid out in this order (a name ending in '/' is a folder), and the name the search takes.
struct Search {
    const char* what;
    std::vector<std::pair<std::string, std::string>> files;
    std::string taken;
    int version;  // -1: the file taken does not pass the check
    std::string folderStem = "ktr-upd";
    bool relative = false;
};

TEST(UpdateFileSearch, TakesTheNameItsRulesPick) {
    const std::string good = updateFile(64), v205 = updateFile(64, "205"), v042 = updateFile(80, "042");
    const std::string nonAscii = "ktr-\xc3\xa9t\xc3\xa9";
    // clang-format off
    const std::vector<Search> cases = {
        {"an empty folder", {}, "", -1},
        // The lower-case name is taken even though only the upper-case files would pass the check.
        {"lower case first", {{"ktrq7_bb.upd", "junk"}, {"KTRQ7_aa.upd", good}, {"KTRQ7_cc.upd", good}},
         "ktrq7_bb.upd", -1},
        {"lower case last", {{"KTRQ7_aa.upd", good}, {"KTRQ7_cc.upd", good}, {"ktrq7_bb.upd", "junk"}},
         "ktrq7_bb.upd", -1},
        {"upper case when no lower-case name passes", {{"KTRQ7_0123.upd", v205}, {"ktrq7_toolong.upd", good}},
         "KTRQ7_0123.upd", 205},
        {"case, length and folders", {{"ktrq7_ok.UPD", good}, {"Ktrq7_v1.upd", good}, {"ktrq7_toolong.upd", good},
         {"ktrq7_abc\xc3\xa9.upd", good}, {"ktrq7_dir.upd/", ""}, {"KTRQ7_dir.upd/", ""}}, "", -1},
        {"name and folder outside ASCII", {{"ktrq7_\xc3\xa9.upd", v042}}, "ktrq7_\xc3\xa9.upd", 42, nonAscii},
        {"started by a relative path", {{"ktrq7_rel.upd", good}}, "ktrq7_rel.upd", 123, "ktr-upd", true},
    };
    // clang-format on
    for (const Search& c : cases) {
        SCOPED_TRACE(c.what);
        ProbeFolder folder(c.folderStem);
        std::string takenBytes;
        for (const auto& [name, bytes] : c.files) {
            if (name.back() == '/') {
                fs::create_directory(folder.path() / name);
            } else {
                folder.write(name, bytes);
            }
            if (name == c.taken) takenBytes = bytes;
        }
        const Fields f = folder.run({}, c.relative);
        EXPECT_EQ(f.at("name"), c.taken);
        if (c.version < 0) {
            expectInvalid(f);
        } else {
            expectValid(f, c.taken, takenBytes, c.version);
        }
    }
}

// The sixth byte of the tag the check is given is not compared.
TEST(UpdateFileCheck, TagMustMatchExactlyYetTheBlockTableIsFilled) {
    for (const std::string tag : {"tl382", "TL38", "TL383", "TL382?"}) {
        ProbeFolder folder;
        const std::string bytes = updateFile(64, "123", tag);
        folder.write("ktrq7_tag.upd", bytes);
        const Fields f = folder.run();
        if (tag == "TL382?") {
            expectValid(f, "ktrq7_tag.upd", bytes, 123);
        } else {
            expectInvalid(f);
        }
        EXPECT_EQ(f.at("blockSize"), "64");
        EXPECT_EQ(f.at("blockCrc"), std::to_string(crcOf(bytes)));
        EXPECT_EQ(f.at("blockFlag"), "1");
    }
}

TEST(UpdateFileCheck, VersionBytesAreTakenWithoutADigitTest) {
    const std::pair<const char*, int> cases[] = {{"000", -1}, {"001", 1}, {"1A0", 270}, {"999", 999}, {"/00", -100}};
    for (const auto& [digits, version] : cases) {
        ProbeFolder folder;
        const std::string bytes = updateFile(64, digits);
        folder.write("ktrq7_ver.upd", bytes);
        const Fields f = folder.run({"ktrq7_ver.upd"});
        if (version < 1) {
            expectInvalid(f);
        } else {
            expectValid(f, "ktrq7_ver.upd", bytes, version);
        }
        const int raw = (digits[0] - '0') * 100 + (digits[1] - '0') * 10 + (digits[2] - '0');
        EXPECT_EQ(f.at("checkVersion"), std::to_string(raw)) << digits;
    }
}

TEST(UpdateFileCheck, LengthBoundsAndShortFiles) {
    ProbeFolder folder;
    const std::string valid = updateFile(37);
    folder.write("ktrq7_37.upd", valid);
    // Names the search passes over, so that the constructor's check always lands on the 37-byte file.
    folder.write("short36", updateFile(36));
    folder.write("short23", updateFile(23));
    folder.write("short22", updateFile(22));
    folder.write("short04", "TL38");
    folder.write("short00", "");
    expectValid(folder.run(), "ktrq7_37.upd", valid, 123);

    const std::tuple<const char*, int, int, int> checks[] = {{"short36", 0, 123, 36},  {"short23", -13, 123, 23},
                                                             {"short22", -14, -1, 22}, {"short04", 0, -1, 4},
                                                             {"short00", 0, -1, 0},    {"missing", 0, -1, 37}};
    for (const auto& [name, result, version, size] : checks) {
        const Fields c = folder.run({name});
        EXPECT_EQ(c.at("checkResult"), std::to_string(result)) << name;
        EXPECT_EQ(c.at("checkVersion"), std::to_string(version)) << name;
        // A missing file leaves the table as the constructor's check filled it.
        EXPECT_EQ(c.at("blockSize"), std::to_string(size)) << name;
    }
}

// A fifo would block the open; a file without read permission cannot be read (except by root).
TEST(UpdateFileCheck, UnreadableFilesAreNeitherOpenedNorValid) {
    ProbeFolder fifo;
    ASSERT_EQ(mkfifo((fifo.path() / "ktrq7_fifo.upd").c_str(), 0600), 0);
    ProbeFolder locked;
    locked.write("ktrq7_lock.upd", updateFile(64));
    ASSERT_EQ(chmod((locked.path() / "ktrq7_lock.upd").c_str(), 0), 0);
    for (const auto& [folder, name] : {std::pair{&fifo, "ktrq7_fifo.upd"}, std::pair{&locked, "ktrq7_lock.upd"}}) {
        if (folder == &locked && geteuid() == 0) continue;
        const Fields f = folder->run();
        EXPECT_EQ(f.at("name"), name);
        expectInvalid(f);
        EXPECT_EQ(f.at("blockFlag"), "0");
    }
}

TEST(UpdateFileCheck, LengthMustFitTheThreeBytesOfTheStartRequest) {
    ProbeFolder folder;
    folder.writeSparse("ktrq7_max.upd", 0xFFFFFF);
    const Fields f = folder.run();
    std::string bytes = updateFile(37);
    bytes.resize(0xFFFFFF, '\0');
    expectValid(f, "ktrq7_max.upd", bytes, 123);

    // Beyond three bytes, at 2 GiB where a signed 32-bit length turns negative, and past 4 GiB where it would
    // wrap to a small valid-looking length: refused before anything is read.
    for (off_t length : {off_t{0x1000000}, off_t{1} << 31, (off_t{1} << 32) + 40}) {
        ProbeFolder big;
        big.writeSparse("ktrq7_big.upd", length);
        const Fields b = big.run({"ktrq7_big.upd"});
        EXPECT_EQ(b.at("name"), "ktrq7_big.upd");
        expectInvalid(b);
        EXPECT_EQ(b.at("checkResult"), "0");
        EXPECT_EQ(b.at("checkVersion"), "-1");
        EXPECT_EQ(b.at("blockFlag"), "0") << length;
    }
}
