// Requests as the updater builds them, for driving the simulator in tests.
#pragma once

#include <ktrsim/KtrQ7Model.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace simtest {

using Bytes = std::vector<uint8_t>;

// The report of 1024 bytes that begins with these.
inline std::vector<uint8_t> request(std::vector<uint8_t> head) {
    head.resize(ktrsim::kRequestSize);
    return head;
}

inline std::vector<uint8_t> startRequest(int version, uint32_t length, uint16_t crc, uint8_t entry = 0x81) {
    return request({ktrsim::command::kStart, 0, uint8_t(version >> 4), uint8_t(version << 4), entry, uint8_t(length),
                    uint8_t(length >> 8), uint8_t(length >> 16), uint8_t(crc), uint8_t(crc >> 8)});
}

inline std::vector<uint8_t> startRequestFor(const std::vector<uint8_t>& file, int version = 123) {
    return startRequest(version, static_cast<uint32_t>(file.size()), ktrsim::crc16Xmodem(file.data(), file.size()));
}

inline std::vector<uint8_t> openRequest(uint8_t block = 1) { return request({ktrsim::command::kOpenBlock, block}); }
inline std::vector<uint8_t> finishRequest() { return request({ktrsim::command::kFinish}); }

// The tail of a short last chunk goes out as zeros.
inline std::vector<std::vector<uint8_t>> dataRequests(const std::vector<uint8_t>& file, uint8_t block = 1) {
    std::vector<std::vector<uint8_t>> out;
    for (size_t at = 0; at < file.size(); at += ktrsim::kChunkPayload) {
        out.push_back(request({ktrsim::command::kData, block}));
        std::copy_n(file.begin() + long(at), std::min(ktrsim::kChunkPayload, file.size() - at), out.back().begin() + 2);
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
    for (auto& b : file) b = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
    return file;
}

// A reply as "CODE/PERCENT" (hex, decimal), with "#SIZE" unless it has the usual 1024 bytes.
inline std::string replyText(const std::vector<uint8_t>& b) {
    char text[16] = "";
    if (!b.empty()) std::snprintf(text, sizeof text, b.size() > 1 ? "%02x/%d" : "%02x", b[0], b.size() > 1 ? b[1] : 0);
    return text + (b.size() == ktrsim::kRequestSize ? std::string() : "#" + std::to_string(b.size()));
}

}  // namespace simtest
