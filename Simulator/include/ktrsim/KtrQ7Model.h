// The KTR-Q7 in update mode as a pure decision model: it is fed the output
// reports the device receives and answers with the actions the device takes.
// It performs no I/O, so the same model serves the in-process bus and a
// separate simulator process. All members are thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace ktrsim {

namespace command {
constexpr uint8_t kStart = 0xF0;
constexpr uint8_t kOpenBlock = 0xF1;
constexpr uint8_t kFinish = 0xF2;
constexpr uint8_t kData = 0xF3;
}  // namespace command

namespace reply {
constexpr uint8_t kStarted = 0xF8;
constexpr uint8_t kContinue = 0xF9;
constexpr uint8_t kBlockDoneAlt = 0xFB;
constexpr uint8_t kFinished = 0xFC;
constexpr uint8_t kBlockDone = 0xFE;
constexpr uint8_t kWriting = 0xF7;
// The model's answer to anything it cannot accept; the updater accepts it nowhere.
constexpr uint8_t kRejected = 0xFF;
}  // namespace reply

constexpr size_t kRequestSize = 1024;
constexpr size_t kChunkPayload = 1022;

// CRC-16/XMODEM: poly 0x1021, init 0, no reflection, no final xor.
uint16_t crc16Xmodem(const uint8_t* data, size_t length, uint16_t crc = 0);

struct StartRequest {
    int version = 0;         // 12 bits
    uint8_t blockEntry = 0;  // block number in bits 0-6, flag in bit 7
    uint32_t length = 0;     // 24 bits
    uint16_t crc = 0;

    int blockNumber() const { return blockEntry & 0x7F; }
    bool blockFlag() const { return (blockEntry & 0x80) != 0; }
};

// Null when the report is not a start request or too short to hold its fields.
std::optional<StartRequest> parseStartRequest(const uint8_t* data, size_t length);

struct DeviceIdentity {
    int64_t vendorID = 0x4D2A;
    int64_t productID = 0x61;
    int64_t releaseNumber = 0x0100;  // four BCD digits: 0x0123 is version 1.23
    std::optional<int64_t> locationID = 0x14200000;
};

struct ModelConfig {
    DeviceIdentity identity;
    size_t inputReportSize = kRequestSize;  // 64 works too
    uint8_t lastChunkReply = reply::kBlockDone;
    int finishWritingReplies = 3;  // 0xF7 answers before the 0xFC
};

// Which received report a fault applies to; all indexes count from 0.
struct Step {
    enum class Kind { Report, Command, Chunk };
    Kind kind = Kind::Report;
    size_t index = 0;
    uint8_t command = 0;

    // The n-th report received over the model's life.
    static Step report(size_t n) { return {Kind::Report, n, 0}; }
    // The n-th report with this command byte over the model's life.
    static Step ofCommand(uint8_t cmd, size_t n) { return {Kind::Command, n, cmd}; }
    // The k-th data report since the last start request.
    static Step chunk(size_t k) { return {Kind::Chunk, k, command::kData}; }
};

// Changes what the device does at one step. The report itself is still taken
// in (its data kept, its counters advanced): faults act on what follows it.
struct Fault {
    enum class Removal { None, InsteadOfReply, AfterReply };

    Step step;
    bool noReply = false;
    std::optional<uint8_t> replyCode;
    std::optional<uint8_t> percent;
    std::chrono::milliseconds delay{0};  // before the reply, or before a removal that replaces it
    Removal removal = Removal::None;
    std::optional<std::chrono::milliseconds> rearriveAfter;  // after the removal
    std::optional<size_t> replySize;                         // e.g. 2 (short) or 2000 (oversized)
};

struct Action {
    enum class Kind { Reply, Unplug, Replug };
    Kind kind = Kind::Reply;
    std::chrono::milliseconds delay{0};  // after the previous action of the same list
    std::vector<uint8_t> bytes;          // the input report, for Reply
};

class KtrQ7Model {
public:
    enum class Phase { Idle, Started, Receiving, BlockDone, Finishing, Finished };

    explicit KtrQ7Model(ModelConfig config = {});

    const ModelConfig& config() const { return m_config; }

    void addFault(const Fault& fault);
    void clearFaults();

    // One output report received; returns what the device does in answer.
    std::vector<Action> receive(const uint8_t* data, size_t length);
    std::vector<Action> receive(const std::vector<uint8_t>& report) { return receive(report.data(), report.size()); }

    // The device left the bus: the session is over until the next start request.
    void endSession();

    std::vector<std::vector<uint8_t>> receivedReports() const;
    size_t receivedCount() const;
    Phase phase() const;
    std::optional<StartRequest> announced() const;  // of the current or last session
    std::vector<uint8_t> image() const;
    bool imageComplete() const;
    uint16_t imageCrc() const;
    // The image is complete and its CRC equals the announced one.
    bool crcMatches() const;

private:
    struct Decision {
        uint8_t code = reply::kRejected;
        uint8_t percent = 0;
    };

    Decision decide(const uint8_t* data, size_t length);
    Decision onStart(const uint8_t* data, size_t length);
    Decision onOpenBlock(const uint8_t* data, size_t length);
    Decision onData(const uint8_t* data, size_t length);
    Decision onFinish();
    uint8_t receivedPercent() const;
    std::vector<Action> applyFaults(const std::vector<const Fault*>& faults, Decision decision);

    const ModelConfig m_config;
    mutable std::mutex m_mutex;
    std::vector<Fault> m_faults;
    std::vector<std::vector<uint8_t>> m_reports;
    std::map<uint8_t, size_t> m_commandCounts;
    size_t m_chunkCount = 0;
    Phase m_phase = Phase::Idle;
    std::optional<StartRequest> m_start;
    std::vector<uint8_t> m_image;
    int m_finishReplies = 0;
};

}  // namespace ktrsim
