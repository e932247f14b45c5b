// Drives the main component as the program would, against the simulated KTR-Q7, from the message thread.
#pragma once

#include <gtest/gtest.h>
#include <ktrsim/SimulatedKtrQ7.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "../simulator/Requests.h"
#include "MainComponentAccess.h"
#include "MessagePump.h"

namespace roadtest {

using Access = MainComponentTestAccess;
using Bytes = std::vector<std::uint8_t>;
using ktrsim::Fault;
using ktrsim::Step;
using simtest::fault;

constexpr int kLanguage = MainComponent::STATE_LANGUAGE;
constexpr int kNotConnected = MainComponent::STATE_NOT_CONNECTED;
constexpr int kReady = MainComponent::STATE_READY;
constexpr int kComplete = MainComponent::STATE_COMPLETE;
constexpr int kError = MainComponent::STATE_ERROR;
// The request commands, for the expected sequences.
constexpr std::uint8_t S = 0xF0, O = 0xF1, F = 0xF2, D = 0xF3;

// A valid update file: the tag, three version digits at 20-22, pseudo-random bytes elsewhere.
inline Bytes updateFile(std::size_t size, int version = 123, std::uint32_t seed = 1) {
    Bytes file = simtest::makeFile(size, seed);
    const char tag[] = "TL382";
    for (std::size_t i = 0; i < 5 && i < size; ++i) file[i] = static_cast<std::uint8_t>(tag[i]);
    if (size >= 23) {
        file[20] = static_cast<std::uint8_t>('0' + version / 100 % 10);
        file[21] = static_cast<std::uint8_t>('0' + version / 10 % 10);
        file[22] = static_cast<std::uint8_t>('0' + version % 10);
    }
    return file;
}

// Short waits, or waits of ten seconds that no test may sit out.
inline MainComponent::Timing shortTiming(int finishPauseMs = 100) {
    MainComponent::Timing t;
    t.startMs = t.openBlockMs = 300;
    t.dataMs = t.finishMs = 500;
    t.finishPauseMs = finishPauseMs;
    return t;
}
inline MainComponent::Timing longTiming(int finishPauseMs = 100) {
    MainComponent::Timing t;
    t.startMs = t.openBlockMs = t.dataMs = t.finishMs = 10000;
    t.finishPauseMs = finishPauseMs;
    return t;
}

inline bool isFinal(int state) { return state == kComplete || state == kError; }

// The framework, a folder for the update file, the device and the component, in that order of life.
class Harness {
public:
    explicit Harness(ktrsim::ModelConfig config = {}, bool plugged = true,
                     const MainComponent::Timing& timing = shortTiming())
        : sim(config, plugged) {
        std::string pattern = (std::filesystem::temp_directory_path() / "ktr-road-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
        folder = pattern;
        MainComponent::setTimingForTesting(timing);
        component = std::make_unique<MainComponent>();
    }
    ~Harness() {
        component.reset();
        pumpOnce();
        MainComponent::setTimingForTesting({});
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    Harness(const Harness&) = delete;
    Harness& operator=(const Harness&) = delete;

    MainComponent& c() { return *component; }
    int state() const { return Access::state(*component); }
    double progress() const { return Access::progress(*component); }

    // Writes the bytes as the update file and has the component check and take it.
    juce::File useFile(const Bytes& bytes) {
        const auto path = folder / "ktrq7_v123.upd";
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        const juce::File file(juce::String(path.string()));
        Access::useUpdateFile(*component, file.getFullPathName());
        return file;
    }

    void clickFirst() { component->buttonClicked(Access::firstButton(*component)); }
    void clickSecond() { component->buttonClicked(Access::secondButton(*component)); }

    // OK on the language screen; true when that led to the ready screen.
    bool toReady() {
        clickFirst();
        return state() == kReady;
    }

    // Until a final state is shown and the worker has returned.
    bool runToEnd(std::chrono::milliseconds timeout = 20s, const std::function<void()>& eachPass = {}) {
        return pumpUntil([this] { return isFinal(state()) && !component->isThreadRunning(); }, timeout, eachPass);
    }

    // The file taken, OK and Start pressed, and the transfer run to its end.
    bool update(const Bytes& file, std::chrono::milliseconds timeout = 20s) {
        useFile(file);
        if (!toReady()) return false;
        clickFirst();
        return runToEnd(timeout);
    }

    std::vector<Bytes> requests() const { return sim.receivedReports(); }
    Bytes commands() const {
        Bytes out;
        for (const auto& r : sim.receivedReports()) out.push_back(r.empty() ? 0 : r[0]);
        return out;
    }

    juce::ScopedJuceInitialiser_GUI framework;
    std::filesystem::path folder;
    ktrsim::SimulatedKtrQ7 sim;
    std::unique_ptr<MainComponent> component;
};

}  // namespace roadtest
