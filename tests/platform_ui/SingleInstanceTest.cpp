#include <gtest/gtest.h>
#include <ktrplatform/SingleInstance.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "JuceLoop.h"

using ktrplatform::SingleInstance;
using uiplatformtest::runFor;
using uiplatformtest::runUntil;
using uiplatformtest::watchedDescriptors;

namespace {

sockaddr_un endpoint(const juce::String& appName) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, SingleInstance::endpointPath(appName).c_str(), sizeof addr.sun_path - 1);
    return addr;
}

// A client that speaks the socket directly, as a broken or hostile program would.
struct RawClient {
    explicit RawClient(const juce::String& appName, bool bindInstead = false)
        : fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)), addr(endpoint(appName)) {
        const auto* at = reinterpret_cast<const sockaddr*>(&addr);
        connected = (bindInstead ? ::bind(fd, at, sizeof addr) : ::connect(fd, at, sizeof addr)) == 0;
    }
    ~RawClient() { close(); }
    void send(const std::string& bytes) {
        for (size_t sent = 0; sent < bytes.size();) {
            const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return;  // the server has closed the connection
            sent += static_cast<size_t>(n);
        }
    }
    void close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    int fd;
    sockaddr_un addr;
    bool connected = false;
};

// Each test has a runtime folder of its own.
class SingleInstanceTest : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("XDG_RUNTIME_DIR", folder.c_str(), 1); }
    // Not juce::File::deleteRecursively: it takes a socket for a folder and leaves it, and the folder, behind.
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    std::unique_ptr<SingleInstance> serve() {
        return std::make_unique<SingleInstance>(name, [this](const juce::String& line) { received.push_back(line); });
    }
    // Hands the lines over from other threads at once while this thread runs the event loop; all must be taken
    // and, unless they may be cut, arrive exactly.
    void handOverAll(const std::vector<juce::String>& lines, bool whole = true) {
        received.clear();
        std::atomic<size_t> taken{0}, done{0};
        std::vector<std::thread> threads;
        for (const auto& line : lines)
            threads.emplace_back([&, line] {
                taken += SingleInstance::handOver(name, line) ? 1 : 0;
                ++done;
            });
        EXPECT_TRUE(runUntil([&] { return done == lines.size() && received.size() >= lines.size(); }));
        for (auto& thread : threads) thread.join();
        EXPECT_EQ(taken, lines.size());
        if (whole) {
            EXPECT_EQ(receivedSet(), std::multiset<juce::String>(lines.begin(), lines.end()));
        }
    }
    std::multiset<juce::String> receivedSet() const { return {received.begin(), received.end()}; }

    const std::string folder = [] {
        char path[] = "/tmp/ktr-si-XXXXXX";
        return std::string(::mkdtemp(path));
    }();
    juce::String name = "ktr-test-" + juce::String(getpid());
    std::vector<juce::String> received;
};

// Starts like the updater does, as a process of its own; killed if a test leaves it running, and waited for, so
// that it makes no file after the test's folder is gone.
struct Probe : juce::ChildProcess {
    ~Probe() {
        if (isRunning() && kill()) waitForProcessToFinish(20000);
    }
    Probe& start(const juce::String& appName, const juce::String& commandLine, const char* delay = "0") {
        EXPECT_TRUE(juce::ChildProcess::start(
            juce::StringArray{KTR_SINGLE_INSTANCE_PROBE, appName, commandLine, "quit", delay}, wantStdOut));
        return *this;
    }
    std::string nextLine() {
        std::string line;
        for (char c = 0; readProcessOutput(&c, 1) == 1 && c != '\n';) line += c;
        return line;
    }
    bool endsWell() { return waitForProcessToFinish(20000) && getExitCode() == 0; }
};

}  // namespace

TEST_F(SingleInstanceTest, CommandLinesArriveIntactWhateverTheName) {
    const juce::String longName = juce::String::repeatedString(juce::String::fromUTF8("\xC3\xBC"), 300);
    for (const juce::String& appName : {name, juce::String(), juce::String("a/b\\c:d*? \x01"), longName + "1"}) {
        name = appName;
        const auto server = serve();
        ASSERT_TRUE(server->isServing()) << name;
        handOverAll({"", "--update ktrq7_v105.upd",
                     juce::String::fromUTF8("\xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80 \"q\"\ttab\nline")});
    }
    // A runtime folder too deep for a socket address.
    const std::string deep = folder + "/" + std::string(60, 'd') + "/" + std::string(60, 'e');
    ASSERT_TRUE(juce::File(deep).createDirectory());
    ::setenv("XDG_RUNTIME_DIR", deep.c_str(), 1);
    const auto server = serve();
    ASSERT_TRUE(server->isServing());
    handOverAll({"deep"});
    // Long names that differ only at their end do not meet.
    EXPECT_FALSE(SingleInstance::handOver(longName + "2", "x"));
}

TEST_F(SingleInstanceTest, OneServerPerNameAndASocketLeftBehindIsTakenOver) {
    EXPECT_FALSE(SingleInstance::handOver(name, "x"));  // nobody claims: no wait
    auto first = serve();
    auto second = serve();
    EXPECT_TRUE(first->isServing());
    EXPECT_FALSE(second->isServing());
    second.reset();  // must not take the first one's socket with it
    handOverAll({"to the first"});
    first.reset();
    struct stat status {};
    EXPECT_NE(::stat(SingleInstance::endpointPath(name).c_str(), &status), 0) << "a server removes its socket";

    // What a killed instance leaves: a socket file that nobody answers on.
    ASSERT_TRUE(RawClient(name, true).connected);
    const auto next = serve();
    EXPECT_TRUE(next->isServing());
    handOverAll({"to the next"});
}

TEST_F(SingleInstanceTest, TheRuntimeFolderIsTheUsersOwnOrAPrivateOne) {
    const std::string fallback = folder + "/tmp",
                      expected = fallback + "/" + name.toStdString() + "-" + std::to_string(getuid());
    ::setenv("TMPDIR", fallback.c_str(), 1);
    ASSERT_EQ(::mkdir(fallback.c_str(), 0777), 0);
    ::chmod(fallback.c_str(), 0777);
    EXPECT_EQ(SingleInstance::runtimeFolder(name), folder);
    // Unset, not a folder, or one that others may write to: not the user's own.
    for (const char* unusable : {"", "relative", "/nonexistent", fallback.c_str(), static_cast<const char*>(nullptr)}) {
        unusable != nullptr ? ::setenv("XDG_RUNTIME_DIR", unusable, 1) : ::unsetenv("XDG_RUNTIME_DIR");
        EXPECT_EQ(SingleInstance::runtimeFolder(name), expected) << (unusable ? unusable : "unset");
    }
    struct stat status {};
    ASSERT_EQ(::lstat(expected.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);

    // A private folder that someone made readable, or swapped for a link, is refused, and nothing is enforced.
    ::chmod(expected.c_str(), 0755);
    EXPECT_EQ(SingleInstance::runtimeFolder(name), "");
    EXPECT_EQ(SingleInstance::claim(name), SingleInstance::Claim::unavailable);
    ::rmdir(expected.c_str());
    ASSERT_EQ(::symlink(folder.c_str(), expected.c_str()), 0);
    EXPECT_EQ(SingleInstance::runtimeFolder(name), "");
    ::unsetenv("TMPDIR");
}

TEST_F(SingleInstanceTest, SilentBrokenAndMalformedClientsNeitherBlockNorDeliverGarbage) {
    const auto baseline = watchedDescriptors().size();
    const auto server = serve();
    RawClient silent(name), unfinished(name), malformed(name);
    ASSERT_TRUE(silent.connected && unfinished.connected && malformed.connected);
    unfinished.send("half a line");
    unfinished.close();
    malformed.send(std::string("a\xFF\xC3(\xED\xA0\x80z\0trailing", 16));
    ASSERT_TRUE(runUntil([&] { return received.size() == 1; }));
    EXPECT_EQ(received[0], juce::String::fromUTF8("a\xEF\xBF\xBD\xEF\xBF\xBD(\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDz"));
    handOverAll({"after"});
    silent.close();
    EXPECT_TRUE(runUntil([&] { return watchedDescriptors().size() == baseline + 1; }))
        << "only the listening socket is left";
}

TEST_F(SingleInstanceTest, OverlongMessagesAreCutAtACharacter) {
    const auto server = serve();
    std::thread flood([this] { RawClient(name).send(std::string(200 * 1024, 'x')); });  // no end: cut at the limit
    EXPECT_TRUE(runUntil([&] { return received.size() == 1; }));
    flood.join();
    EXPECT_EQ(received,
              std::vector<juce::String>{juce::String::repeatedString("x", (int)SingleInstance::kMaxMessageBytes)});
    // One byte before the two-byte characters puts the limit inside one of them.
    const juce::String e = juce::String::fromUTF8("\xC3\xA9");
    handOverAll({"x" + juce::String::repeatedString(e, 40000)}, false);
    EXPECT_EQ(received, std::vector<juce::String>{
                            "x" + juce::String::repeatedString(e, (int)SingleInstance::kMaxMessageBytes / 2 - 1)});
}

TEST_F(SingleInstanceTest, ManyClientsAtOnceAllGetThrough) {
    constexpr size_t kServerKeeps = 32;  // unfinished connections the server holds before it stops accepting
    const auto baseline = watchedDescriptors().size();
    const auto server = serve();
    std::vector<std::unique_ptr<RawClient>> idle;
    for (size_t i = 0; i < kServerKeeps + 8; ++i) idle.push_back(std::make_unique<RawClient>(name));
    ASSERT_TRUE(runUntil([&] { return watchedDescriptors().size() == baseline + kServerKeeps; }));
    // Later starts still hand over at once: they wait in the backlog until idle connections go.
    std::vector<juce::String> lines;
    std::atomic<size_t> taken{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 30; ++i) {
        lines.push_back("start " + juce::String(i));
        threads.emplace_back([&, line = lines.back()] { taken += SingleInstance::handOver(name, line) ? 1 : 0; });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(taken, lines.size());
    idle.clear();
    EXPECT_TRUE(runUntil([&] { return received.size() == lines.size(); }));
    EXPECT_EQ(receivedSet(), std::multiset<juce::String>(lines.begin(), lines.end()));
    EXPECT_TRUE(runUntil([&] { return watchedDescriptors().size() == baseline + 1; }));
}

TEST_F(SingleInstanceTest, TheCallbackMayDeleteTheServer) {
    int calls = 0;
    std::unique_ptr<SingleInstance> server = std::make_unique<SingleInstance>(name, [&](const juce::String&) {
        ++calls;
        server.reset();
    });
    RawClient a(name), b(name);
    a.send(std::string("one\0", 4));
    b.send(std::string("two\0", 4));
    EXPECT_TRUE(runUntil([&] { return server == nullptr; }));
    runFor(std::chrono::milliseconds(20));
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(SingleInstance::handOver(name, "x"));
}

// Real processes: the claim is per user, whatever the display, and dies with its process.
TEST_F(SingleInstanceTest, ALaterStartOnAnyDisplayIsRefusedAndHandsOver) {
    Probe first, second, third, killed, next;
    // The first serves only after a while: a start meanwhile waits for it.
    ASSERT_EQ(first.start(name, "first", "300").nextLine(), "claimed");
    const std::string display = std::getenv("DISPLAY") != nullptr ? std::getenv("DISPLAY") : "";
    ::setenv("DISPLAY", ":98", 1);
    const juce::String line = juce::String::fromUTF8("--update \xE3\x83\x95\xE3\x82\xA1.upd");
    second.start(name, line);
    ::setenv("DISPLAY", display.c_str(), 1);
    EXPECT_EQ(second.nextLine(), "handed over");
    EXPECT_EQ(first.nextLine(), "serving");
    EXPECT_EQ(first.nextLine(), "received: " + line.toStdString());
    EXPECT_TRUE(second.endsWell());
    EXPECT_EQ(third.start(name, "quit").nextLine(), "handed over");
    EXPECT_EQ(first.nextLine(), "received: quit");
    EXPECT_TRUE(first.endsWell());

    // Killed, an instance leaves its lock file and socket: the next start runs.
    ASSERT_EQ(killed.start(name, "").nextLine(), "claimed");
    ASSERT_EQ(killed.nextLine(), "serving");
    killed.kill();
    killed.waitForProcessToFinish(20000);
    EXPECT_EQ(next.start(name, "").nextLine(), "claimed");
    EXPECT_EQ(next.nextLine(), "serving");
}
