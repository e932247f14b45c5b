// Requests as the updater builds them, for driving the simulator in tests.
#pragma once

#include <ktrsim/KtrQ7Model.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace simtest {

inline std::vector<uint8_t> startRequest(int version, uint32_t length, uint16_t crc, uint8_t entry = 0x81) {
    std::vector<uint8_t> r(ktrsim::kRequestSize, 0);
    r[0] = ktrsim::command::kStart;
    r[2] = static_cast<uint8_t>((version & 0xFF0) >> 4);
    r[3] = static_cast<uint8_t>((version & 0x0F) << 4);
    r[4] = entry;
    r[5] = static_cast<uint8_t>(length);
    r[6] = static_cast<uint8_t>(length >> 8);
    r[7] = static_cast<uint8_t>(length >> 16);
    r[8] = static_cast<uint8_t>(crc);
    r[9] = static_cast<uint8_t>(crc >> 8);
    return r;
}

inline std::vector<uint8_t> startRequestFor(const std::vector<uint8_t>& file, int version = 123) {
    return startRequest(version, static_cast<uint32_t>(file.size()), ktrsim::crc16Xmodem(file.data(), file.size()));
}

inline std::vector<uint8_t> openRequest(uint8_t block = 1) {
    std::vector<uint8_t> r(ktrsim::kRequestSize, 0);
    r[0] = ktrsim::command::kOpenBlock;
    r[1] = block;
    return r;
}

inline std::vector<uint8_t> finishRequest() {
    std::vector<uint8_t> r(ktrsim::kRequestSize, 0);
    r[0] = ktrsim::command::kFinish;
    return r;
}

// The tail of a short last chunk goes out as zeros.
inline std::vector<std::vector<uint8_t>> dataRequests(const std::vector<uint8_t>& file, uint8_t block = 1) {
    std::vector<std::vector<uint8_t>> out;
    for (size_t offset = 0; offset < file.size(); offset += ktrsim::kChunkPayload) {
        std::vector<uint8_t> r(ktrsim::kRequestSize, 0);
        r[0] = ktrsim::command::kData;
        r[1] = block;
        const size_t n = std::min(ktrsim::kChunkPayload, file.size() - offset);
        std::copy(file.begin() + static_cast<long>(offset), file.begin() + static_cast<long>(offset + n),
                  r.begin() + 2);
        out.push_back(r);
    }
    return out;
}

// Every request of a whole update, with this many finish requests at the end.
inline std::vector<std::vector<uint8_t>> wholeUpdate(const std::vector<uint8_t>& file, int finishes,
                                                     int version = 123) {
    std::vector<std::vector<uint8_t>> out = {startRequestFor(file, version), openRequest()};
    for (auto& r : dataRequests(file)) out.push_back(std::move(r));
    out.insert(out.end(), static_cast<size_t>(finishes), finishRequest());
    return out;
}

// A fault at this step, shaped by set: fault(Step::chunk(1), [](Fault& f) { f.noReply = true; }).
template <class Set>
ktrsim::Fault fault(ktrsim::Step step, Set set) {
    ktrsim::Fault f;
    f.step = step;
    set(f);
    return f;
}

inline std::vector<uint8_t> makeFile(size_t size, uint32_t seed = 1) {
    std::vector<uint8_t> file(size);
    for (auto& b : file) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<uint8_t>(seed >> 16);
    }
    return file;
}

}  // namespace simtest
