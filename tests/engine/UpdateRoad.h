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

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "ktr-road-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
        m_path = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    std::filesystem::path write(const std::string& name, const Bytes& bytes) const {
        const auto path = m_path / name;
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        EXPECT_TRUE(out.good()) << path;
        return path;
    }

private:
    std::filesystem::path m_path;
};

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

// Rewrites the last two bytes so that the file's CRC becomes crc. With a zero initial value the CRC of two
// bytes appended is a bijection of their xor with the CRC before them, so a search over 16 bits finds them.
inline void forceCrc(Bytes& file, std::uint16_t crc) {
    const std::size_t n = file.size() - 2;
    const std::uint16_t head = ktrsim::crc16Xmodem(file.data(), n);
    for (unsigned y = 0; y < 0x10000; ++y) {
        const std::uint8_t pair[2] = {static_cast<std::uint8_t>(y >> 8), static_cast<std::uint8_t>(y)};
        if (ktrsim::crc16Xmodem(pair, 2) != crc) continue;
        file[n] = static_cast<std::uint8_t>(pair[0] ^ (head >> 8));
        file[n + 1] = static_cast<std::uint8_t>(pair[1] ^ (head & 0xFF));
        return;
    }
}

// Data requests as they must go out: a short last chunk is padded with zeros.
inline std::vector<Bytes> chunkRequests(const Bytes& file) {
    std::vector<Bytes> out;
    for (std::size_t offset = 0; offset < file.size(); offset += ktrsim::kChunkPayload) {
        Bytes r(ktrsim::kRequestSize, 0);
        r[0] = ktrsim::command::kData;
        r[1] = 1;
        const std::size_t n = std::min(ktrsim::kChunkPayload, file.size() - offset);
        std::copy(file.begin() + static_cast<long>(offset), file.begin() + static_cast<long>(offset + n),
                  r.begin() + 2);
        out.push_back(std::move(r));
    }
    return out;
}

// Every request of a whole update, finishCount finish requests at the end.
inline std::vector<Bytes> wholeUpdate(const Bytes& file, int version, int finishCount) {
    std::vector<Bytes> out{simtest::startRequestFor(file, version), simtest::openRequest()};
    for (auto& chunk : chunkRequests(file)) out.push_back(std::move(chunk));
    for (int i = 0; i < finishCount; ++i) out.push_back(simtest::finishRequest());
    return out;
}

inline MainComponent::Timing shortTiming() {
    MainComponent::Timing t;
    t.startMs = 300;
    t.openBlockMs = 300;
    t.dataMs = 500;
    t.finishMs = 500;
    t.finishPauseMs = 100;
    return t;
}

inline bool isFinal(int state) { return state == MainComponent::STATE_COMPLETE || state == MainComponent::STATE_ERROR; }

// The framework, a folder for the update file, the device and the component, in that order of life.
class Harness {
public:
    explicit Harness(ktrsim::ModelConfig config = {}, bool plugged = true,
                     const MainComponent::Timing& timing = shortTiming())
        : sim(config, plugged) {
        MainComponent::setTimingForTesting(timing);
        component = std::make_unique<MainComponent>();
    }
    ~Harness() {
        component.reset();
        pumpOnce();
        MainComponent::setTimingForTesting({});
    }
    Harness(const Harness&) = delete;
    Harness& operator=(const Harness&) = delete;

    MainComponent& c() { return *component; }
    int state() const { return Access::state(*component); }
    double progress() const { return Access::progress(*component); }

    // Writes the bytes as the update file and has the component check and take it.
    juce::File useFile(const Bytes& bytes, const std::string& name = "ktrq7_v123.upd") {
        const auto path = folder.write(name, bytes);
        const juce::File file(juce::String(path.string()));
        Access::useUpdateFile(*component, file.getFullPathName());
        return file;
    }

    void clickFirst() { component->buttonClicked(Access::firstButton(*component)); }
    void clickSecond() { component->buttonClicked(Access::secondButton(*component)); }

    // OK on the language screen; true when that led to the ready screen.
    bool toReady() {
        clickFirst();
        return state() == MainComponent::STATE_READY;
    }

    // Until a final state is shown and the worker has returned.
    bool runToEnd(std::chrono::milliseconds timeout = 20s, const std::function<void()>& eachPass = {}) {
        return pumpUntil([this] { return isFinal(state()) && !component->isThreadRunning(); }, timeout, eachPass);
    }

    std::vector<Bytes> requests() const { return sim.receivedReports(); }
    Bytes commands() const {
        Bytes out;
        for (const auto& r : sim.receivedReports()) out.push_back(r.empty() ? 0 : r[0]);
        return out;
    }

    juce::ScopedJuceInitialiser_GUI framework;
    TempFolder folder;
    ktrsim::SimulatedKtrQ7 sim;
    std::unique_ptr<MainComponent> component;
};

}  // namespace roadtest
