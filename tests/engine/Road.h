// Drives the main component as the program would, against the simulated KTR-Q7: the calling thread is the
// message thread and runs both JUCE's queue (state and progress hand-over) and the run loop that the device
// callbacks are posted to.
#pragma once

#include <gtest/gtest.h>
#include <ktrplatform/RunLoopHook.h>
#include <ktrsim/SimulatedKtrQ7.h>
#include <poll.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "../simulator/Requests.h"
#include "MainComponent.h"

namespace juce {
// Not in JUCE's public headers; its own modules declare it like this where they drive the queue themselves.
bool dispatchNextMessageOnSystemQueue(bool returnIfNoPendingMessages);
}  // namespace juce

struct MainComponentTestAccess;

namespace road {

using Harness = MainComponentTestAccess;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;
using ktrsim::Fault;
using ktrsim::Step;
using simtest::fault;

constexpr int kLanguage = MainComponent::STATE_LANGUAGE, kNotConnected = MainComponent::STATE_NOT_CONNECTED,
              kReady = MainComponent::STATE_READY, kComplete = MainComponent::STATE_COMPLETE,
              kError = MainComponent::STATE_ERROR;
constexpr int kDefaultVersion = 100;  // the simulator's release number 0x0100
// The request commands, for the expected sequences.
constexpr std::uint8_t S = 0xF0, O = 0xF1, F = 0xF2, D = 0xF3;

// Pumps until the predicate holds or the time is up; eachPass runs after every pass. A pass runs the device
// callbacks, then JUCE's messages unless left out, as when the JUCE queue has not got round to its messages
// yet. Between passes it waits until the run loop has work or a millisecond has passed.
inline bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s,
                      const std::function<void()>& eachPass = {}, bool juceQueue = true) {
    for (const auto deadline = Clock::now() + timeout;;) {
        KTRRunLoopPerformPending(CFRunLoopGetMain());
        for (int i = 0; juceQueue && i < 1000 && juce::dispatchNextMessageOnSystemQueue(true); ++i) {
        }
        if (eachPass) eachPass();
        if (done()) return true;
        if (Clock::now() >= deadline) return false;
        pollfd pfd{KTRRunLoopGetWakeDescriptor(CFRunLoopGetMain()), POLLIN, 0};
        poll(&pfd, 1, 1);
    }
}

// Lets every message that could follow settle.
inline const auto settle = [] { pumpUntil([] { return false; }, 50ms); };

// A valid update file: the tag, three version digits at 20-22, pseudo-random bytes elsewhere.
inline Bytes updateFile(std::size_t size, int version = 123, std::uint32_t seed = 1) {
    Bytes file = simtest::makeFile(size, seed);
    std::copy_n("TL382", std::min<std::size_t>(5, size), file.begin());
    if (size >= 23) std::copy_n(std::to_string(1000 + version).begin() + 1, 3, file.begin() + 20);
    return file;
}

// The waits of the start, open-block and data steps, the finish wait and the pause after a finish reply.
inline MainComponent::Timing waits(int ms, int finishMs = 0, int pauseMs = 100) {
    return {ms, ms, ms, finishMs > 0 ? finishMs : ms, pauseMs};
}

inline const auto silent = [](Step step) { return fault(step, [](Fault& f) { f.noReply = true; }); };

}  // namespace road

// The framework, the device and the component, in that order of life; the component's state is read as the
// message thread would. The worker takes the waits when it starts.
struct MainComponentTestAccess {
    explicit MainComponentTestAccess(ktrsim::ModelConfig config = {}, bool plugged = true,
                                     const MainComponent::Timing& timing = road::waits(500))
        : sim(config, plugged) {
        MainComponent::setTimingForTesting(timing);
    }
    ~MainComponentTestAccess() { unlink(path.c_str()); }

    int state() const { return c.m_state; }
    int pending() const { return c.m_pendingState; }
    double progress() const { return c.m_progress; }
    int version() const { return c.m_deviceVersion; }
    void setFileCheck(int check) { c.m_fileCheck = check; }
    // Size, CRC and flag of the block table's one entry.
    std::array<long long, 3> block() const { return {c.m_blockSize[0], c.m_blockCrc[0], c.m_blockFlag[0]}; }

    // Writes the bytes as the update file and has the component take it, as the constructor would have found it.
    void useFile(const road::Bytes& bytes) {
        std::ofstream(path, std::ios::binary) << std::string(bytes.begin(), bytes.end());
        c.m_updateFileName = path;
        c.m_fileCheck = c.checkUPD(path, tag(), &c.m_fileVersion);
        c.m_fileValid = 1;
    }
    void click(bool first = true) { c.buttonClicked(first ? c.m_okButton : c.m_cancelButton); }
    // The file taken and OK pressed; true when that led to the ready screen.
    bool toReady(const road::Bytes& file) {
        useFile(file);
        click();
        return state() == road::kReady;
    }
    // Start pressed, then until a final state is shown and the worker has returned.
    bool run(std::chrono::milliseconds timeout = std::chrono::seconds(20), const std::function<void()>& eachPass = {}) {
        click();
        return road::pumpUntil([this] { return isFinal() && !c.isThreadRunning(); }, timeout, eachPass);
    }
    bool isFinal() const { return state() == road::kComplete || state() == road::kError; }
    road::Bytes commands() const {
        road::Bytes out;
        for (const auto& r : sim.receivedReports()) out.push_back(r[0]);
        return out;
    }

    static const unsigned char* tag() { return reinterpret_cast<const unsigned char*>("TL382 "); }
    const std::string path = (std::filesystem::temp_directory_path() / ("ktrq7-" + std::to_string(getpid()))).string();
    juce::ScopedJuceInitialiser_GUI framework;
    ktrsim::SimulatedKtrQ7 sim;
    MainComponent c;
};
