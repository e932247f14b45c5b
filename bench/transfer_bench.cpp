// A whole update of a 4 MiB file through the main component's worker, with its hand-over of state and
// progress to the message thread, against a bare loop that sends the same reports through the same device
// controller to the same simulated device and waits for each reply. Both run with the same message-thread
// pumping; the difference is what the component's own machinery costs.
#include <benchmark/benchmark.h>
#include <ktrplatform/SystemDevices.h>
#include <ktrsim/SimulatedKtrQ7.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../tests/engine/Road.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<unsigned char>;

constexpr std::size_t kFileSize = 4u << 20;
constexpr int kReportSize = 1024;
constexpr int kPayload = 1022;

// No pause after the finish replies and none asked for: a fixed wait is no cost of the road.
ktrsim::ModelConfig deviceConfig() {
    ktrsim::ModelConfig config;
    config.finishWritingReplies = 0;
    return config;
}

Bytes makeUpdateFile() {
    Bytes file(kFileSize);
    std::mt19937 random(11);
    for (auto& b : file) b = static_cast<unsigned char>(random());
    const char head[] = "TL382";
    std::copy(head, head + 5, file.begin());
    file[20] = '1';
    file[21] = '2';
    file[22] = '3';
    return file;
}

void BM_ComponentWorker(benchmark::State& state) {
    const Bytes file = makeUpdateFile();
    MainComponent::Timing timing;
    timing.finishPauseMs = 0;
    for (auto _ : state) {
        state.PauseTiming();
        {
            MainComponentTestAccess harness(deviceConfig(), true, timing);
            harness.useFile(road::Bytes(file.begin(), file.end()));
            harness.click();
            state.ResumeTiming();
            harness.click();
            const bool ended = road::pumpUntil([&] { return harness.state() >= MainComponent::STATE_COMPLETE; }, 600s);
            state.PauseTiming();
            if (!ended || harness.state() != MainComponent::STATE_COMPLETE ||
                harness.sim.image() != std::vector<uint8_t>(file.begin(), file.end()))
                state.SkipWithError("the update did not complete");
        }
        road::pumpUntil([] { return true; });
        state.ResumeTiming();
    }
    MainComponent::setTimingForTesting({});
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

// Sends each request from a worker thread and waits for the reply the message thread hands on.
class BareRoad : public HidHandler {
public:
    explicit BareRoad(const Bytes& file) : m_file(file) {}
    ~BareRoad() {
        if (m_worker.joinable()) m_worker.join();
    }

    bool open() { return m_ctrl.initialize(this, 1) && m_ctrl.getState() != 0; }
    void start() {
        m_worker = std::thread([this] {
            m_ok = run();
            m_done = true;
        });
    }
    bool done() const { return m_done; }
    bool ok() const { return m_ok; }

    void removalCallBack() override {}
    void matchingCallBack() override {}
    void inputCallBack() override {
        m_code = m_ctrl.getLength() > 0 ? m_ctrl.getData()[0] : 0;
        m_replied.signal();
    }

private:
    bool exchange(unsigned char* report, unsigned char& code) {
        if (!m_ctrl.setData(report, kReportSize) || !m_replied.wait(10000)) return false;
        code = m_code;
        return true;
    }

    bool run() {
        unsigned char report[kReportSize] = {};
        unsigned char code = 0;
        const std::size_t length = m_file.size();
        const auto crc = MainComponent::calcCRC(m_file.data(), static_cast<long>(length));
        report[0] = 0xF0;
        report[2] = 123 >> 4;
        report[3] = (123 & 0x0F) << 4;
        report[4] = 0x81;
        report[5] = static_cast<unsigned char>(length);
        report[6] = static_cast<unsigned char>(length >> 8);
        report[7] = static_cast<unsigned char>(length >> 16);
        report[8] = static_cast<unsigned char>(crc);
        report[9] = static_cast<unsigned char>(crc >> 8);
        if (!exchange(report, code) || code != 0xF8) return false;
        std::fill(std::begin(report), std::end(report), 0);
        report[0] = 0xF1;
        report[1] = 1;
        if (!exchange(report, code) || code != 0xF9) return false;
        report[0] = 0xF3;
        for (std::size_t offset = 0; offset < length; offset += kPayload) {
            const std::size_t n = std::min<std::size_t>(kPayload, length - offset);
            std::copy(m_file.begin() + static_cast<long>(offset), m_file.begin() + static_cast<long>(offset + n),
                      report + 2);
            std::fill(report + 2 + n, std::end(report), 0);
            if (!exchange(report, code)) return false;
        }
        std::fill(std::begin(report), std::end(report), 0);
        report[0] = 0xF2;
        return exchange(report, code) && code == 0xFC;
    }

    const Bytes& m_file;
    HidCtrl m_ctrl;
    juce::WaitableEvent m_replied;
    std::atomic<unsigned char> m_code{0};
    std::atomic<bool> m_done{false};
    std::atomic<bool> m_ok{false};
    std::thread m_worker;
};

void BM_BareLoop(benchmark::State& state) {
    const Bytes file = makeUpdateFile();
    for (auto _ : state) {
        state.PauseTiming();
        {
            ktrsim::SimulatedKtrQ7 device(deviceConfig());
            BareRoad bare(file);
            if (!bare.open()) {
                state.SkipWithError("no device");
                break;
            }
            state.ResumeTiming();
            bare.start();
            road::pumpUntil([&] { return bare.done(); }, 600s);
            state.PauseTiming();
            if (!bare.ok() || device.image() != std::vector<uint8_t>(file.begin(), file.end()))
                state.SkipWithError("the update did not complete");
        }
        road::pumpUntil([] { return true; });
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

BENCHMARK(BM_ComponentWorker)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(5);
BENCHMARK(BM_BareLoop)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(5);

// Shows the runs as usual and keeps the best real time of each benchmark.
class BestTimes : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) continue;
            const double seconds = run.real_accumulated_time / static_cast<double>(run.iterations);
            auto [it, fresh] = best.emplace(run.run_name.function_name, seconds);
            if (!fresh && seconds < it->second) it->second = seconds;
        }
    }
    std::map<std::string, double> best;
};

}  // namespace

int main(int argc, char** argv) {
    // Only the simulated device takes part, never the machine's own.
    ktrplatform::setSystemDevicesEnabled(false);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    const juce::ScopedJuceInitialiser_GUI framework;
    BestTimes reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto worker = reporter.best.find("BM_ComponentWorker");
    const auto bare = reporter.best.find("BM_BareLoop");
    if (worker == reporter.best.end() || bare == reporter.best.end() || bare->second <= 0) return 0;
    std::printf("\n4 MiB update, best of each: component worker %.1f ms, bare loop %.1f ms, ratio %.2f (goal <= 1.3)\n",
                worker->second * 1000, bare->second * 1000, worker->second / bare->second);
    return 0;
}
