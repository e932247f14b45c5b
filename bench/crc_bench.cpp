// Throughput of the update file's CRC-16/XMODEM.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "MainComponent.h"

static void BM_calcCRC(benchmark::State& state) {
    std::vector<unsigned char> data(static_cast<std::size_t>(state.range(0)));
    std::mt19937 random(7);
    for (auto& b : data) b = static_cast<unsigned char>(random());
    for (auto _ : state) {
        benchmark::DoNotOptimize(MainComponent::calcCRC(data.data(), static_cast<long>(data.size())));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_calcCRC)->Arg(1 << 20)->Arg(16 << 20);
