#include "ktrsim/KtrQ7Model.h"

#include <algorithm>

namespace ktrsim {

uint16_t crc16Xmodem(const uint8_t* data, size_t length, uint16_t crc) {
    if (data == nullptr) return crc;
    for (size_t i = 0; i < length; ++i) {
        crc = static_cast<uint16_t>(crc ^ (data[i] << 8));
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        }
    }
    return crc;
}

std::optional<StartRequest> parseStartRequest(const uint8_t* data, size_t length) {
    if (data == nullptr || length < 10 || data[0] != command::kStart) return std::nullopt;
    StartRequest start;
    start.version = (data[2] << 4) | (data[3] >> 4);
    start.blockEntry = data[4];
    start.length =
        static_cast<uint32_t>(data[5]) | static_cast<uint32_t>(data[6]) << 8 | static_cast<uint32_t>(data[7]) << 16;
    start.crc = static_cast<uint16_t>(data[8] | data[9] << 8);
    return start;
}

KtrQ7Model::KtrQ7Model(ModelConfig config) : m_config(config) {}

void KtrQ7Model::addFault(const Fault& fault) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.push_back(fault);
}

void KtrQ7Model::clearFaults() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.clear();
}

std::vector<Action> KtrQ7Model::receive(const uint8_t* data, size_t length) {
    if (data == nullptr) length = 0;
    std::lock_guard<std::mutex> lock(m_mutex);

    // Steps are matched against the counts before this report.
    const uint8_t cmd = length > 0 ? data[0] : 0;
    const bool hasCommand = length > 0;
    const size_t reportIndex = m_reports.size();
    const size_t commandIndex = hasCommand ? m_commandCounts[cmd] : 0;
    const size_t chunkIndex = m_chunkCount;
    std::vector<const Fault*> matched;
    for (const Fault& fault : m_faults) {
        const Step& step = fault.step;
        bool hit = false;
        switch (step.kind) {
            case Step::Kind::Report:
                hit = step.index == reportIndex;
                break;
            case Step::Kind::Command:
                hit = hasCommand && step.command == cmd && step.index == commandIndex;
                break;
            case Step::Kind::Chunk:
                hit = hasCommand && cmd == command::kData && step.index == chunkIndex;
                break;
        }
        if (hit) matched.push_back(&fault);
    }

    m_reports.emplace_back(data, data + length);
    if (hasCommand) ++m_commandCounts[cmd];
    if (hasCommand && cmd == command::kData) ++m_chunkCount;

    return applyFaults(matched, decide(data, length));
}

KtrQ7Model::Decision KtrQ7Model::decide(const uint8_t* data, size_t length) {
    if (length == 0) return {};
    switch (data[0]) {
        case command::kStart:
            return onStart(data, length);
        case command::kOpenBlock:
            return onOpenBlock(data, length);
        case command::kData:
            return onData(data, length);
        case command::kFinish:
            return onFinish();
        default:
            return {};
    }
}

KtrQ7Model::Decision KtrQ7Model::onStart(const uint8_t* data, size_t length) {
    const auto start = parseStartRequest(data, length);
    if (!start || start->blockNumber() == 0) return {};
    // A start request always opens a new session, as after a fresh power-up.
    m_start = start;
    m_image.clear();
    m_chunkCount = 0;
    m_finishReplies = 0;
    m_phase = Phase::Started;
    return {reply::kStarted, 0};
}

KtrQ7Model::Decision KtrQ7Model::onOpenBlock(const uint8_t* data, size_t length) {
    if (m_phase != Phase::Started || length < 2 || data[1] != m_start->blockNumber()) return {};
    m_phase = Phase::Receiving;
    return {reply::kContinue, receivedPercent()};
}

KtrQ7Model::Decision KtrQ7Model::onData(const uint8_t* data, size_t length) {
    if (m_phase != Phase::Receiving || length < 2 || data[1] != m_start->blockNumber()) return {};
    const size_t remaining = m_start->length - m_image.size();
    const size_t take = std::min({length - 2, kChunkPayload, remaining});
    m_image.insert(m_image.end(), data + 2, data + 2 + take);
    if (m_image.size() < m_start->length) return {reply::kContinue, receivedPercent()};
    m_phase = Phase::BlockDone;
    return {m_config.lastChunkReply, 100};
}

KtrQ7Model::Decision KtrQ7Model::onFinish() {
    if (m_phase == Phase::Idle) return {};
    const int writing = std::max(0, m_config.finishWritingReplies);
    if (m_phase != Phase::Finished && m_finishReplies < writing) {
        ++m_finishReplies;
        m_phase = Phase::Finishing;
        return {reply::kWriting, static_cast<uint8_t>(m_finishReplies * 100 / (writing + 1))};
    }
    m_phase = Phase::Finished;
    return {reply::kFinished, 100};
}

uint8_t KtrQ7Model::receivedPercent() const {
    if (!m_start || m_start->length == 0) return 100;
    return static_cast<uint8_t>(uint64_t{m_image.size()} * 100 / m_start->length);
}

std::vector<Action> KtrQ7Model::applyFaults(const std::vector<const Fault*>& faults, Decision decision) {
    bool noReply = false;
    std::chrono::milliseconds delay{0};
    Fault::Removal removal = Fault::Removal::None;
    std::optional<std::chrono::milliseconds> rearrive;
    size_t size = m_config.inputReportSize;
    // Later faults for the same step override earlier ones.
    for (const Fault* fault : faults) {
        noReply = noReply || fault->noReply;
        if (fault->replyCode) decision.code = *fault->replyCode;
        if (fault->percent) decision.percent = *fault->percent;
        if (fault->delay.count() > 0) delay = fault->delay;
        if (fault->removal != Fault::Removal::None) removal = fault->removal;
        if (fault->rearriveAfter) rearrive = fault->rearriveAfter;
        if (fault->replySize) size = *fault->replySize;
    }

    std::vector<Action> actions;
    if (!noReply && removal != Fault::Removal::InsteadOfReply) {
        Action answer{Action::Kind::Reply, delay, std::vector<uint8_t>(size, 0)};
        if (size > 0) answer.bytes[0] = decision.code;
        if (size > 1) answer.bytes[1] = decision.percent;
        actions.push_back(std::move(answer));
        delay = std::chrono::milliseconds{0};
    }
    if (removal != Fault::Removal::None) {
        actions.push_back({Action::Kind::Unplug, delay, {}});
        m_phase = Phase::Idle;
        if (rearrive) actions.push_back({Action::Kind::Replug, *rearrive, {}});
    }
    return actions;
}

void KtrQ7Model::endSession() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_phase = Phase::Idle;
}

std::vector<std::vector<uint8_t>> KtrQ7Model::receivedReports() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reports;
}

size_t KtrQ7Model::receivedCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reports.size();
}

KtrQ7Model::Phase KtrQ7Model::phase() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_phase;
}

std::optional<StartRequest> KtrQ7Model::announced() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_start;
}

std::vector<uint8_t> KtrQ7Model::image() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_image;
}

bool KtrQ7Model::imageComplete() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_start && m_image.size() == m_start->length;
}

uint16_t KtrQ7Model::imageCrc() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return crc16Xmodem(m_image.data(), m_image.size());
}

bool KtrQ7Model::crcMatches() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_start && m_image.size() == m_start->length && crc16Xmodem(m_image.data(), m_image.size()) == m_start->crc;
}

}  // namespace ktrsim
