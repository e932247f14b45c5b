// Frames exchanged between the platform and a device simulator running as its
// own process: a type byte, a 32-bit little-endian payload length, the payload.
// Both sides take bytes from a socket they do not trust, so every reader here
// checks lengths before it looks and never allocates more than one frame.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace ktrplatform::simwire {

enum class Type : uint8_t {
    // Simulator to platform.
    Arrived = 0x01,  // the device is on the bus; payload: its properties
    Left = 0x02,     // the device is gone; no payload
    Input = 0x03,    // an input report: report type, report ID, bytes
    Ack = 0x04,      // a SetReport is done: its sequence number, its IOReturn
    // Platform to simulator.
    SetReport = 0x10,  // sequence number, report type, report ID, bytes
};

constexpr size_t kHeaderSize = 5;
constexpr size_t kMaxPayload = 64 * 1024;
// Room left for the report bytes in an Input or SetReport frame.
constexpr size_t kMaxReportSize = kMaxPayload - 6;

inline bool isKnownType(uint8_t type) {
    switch (static_cast<Type>(type)) {
        case Type::Arrived:
        case Type::Left:
        case Type::Input:
        case Type::Ack:
        case Type::SetReport:
            return true;
    }
    return false;
}

struct Frame {
    Type type = Type::Left;
    std::vector<uint8_t> payload;
};

namespace detail {
inline void putU16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
inline void putU32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void putU64(std::vector<uint8_t>& out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline uint32_t getU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// Reads fields front to back; any read past the end fails and stays failed.
class Cursor {
public:
    Cursor(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool ok() const { return m_ok; }
    bool atEnd() const { return m_pos == m_size; }
    size_t remaining() const { return m_size - m_pos; }
    const uint8_t* here() const { return m_data + m_pos; }

    bool take(size_t n, const uint8_t** out) {
        if (!m_ok || n > remaining()) {
            m_ok = false;
            return false;
        }
        *out = m_data + m_pos;
        m_pos += n;
        return true;
    }
    uint8_t u8() {
        const uint8_t* p = nullptr;
        return take(1, &p) ? p[0] : 0;
    }
    uint16_t u16() {
        const uint8_t* p = nullptr;
        return take(2, &p) ? static_cast<uint16_t>(p[0] | p[1] << 8) : 0;
    }
    uint32_t u32() {
        const uint8_t* p = nullptr;
        return take(4, &p) ? getU32(p) : 0;
    }
    uint64_t u64() {
        const uint8_t* p = nullptr;
        if (!take(8, &p)) return 0;
        return static_cast<uint64_t>(getU32(p)) | static_cast<uint64_t>(getU32(p + 4)) << 32;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
    bool m_ok = true;
};
}  // namespace detail

// Header and payload as one buffer; empty when the payload is too large to send.
inline std::vector<uint8_t> encodeFrame(Type type, const std::vector<uint8_t>& payload) {
    if (payload.size() > kMaxPayload) return {};
    std::vector<uint8_t> out;
    out.reserve(kHeaderSize + payload.size());
    out.push_back(static_cast<uint8_t>(type));
    detail::putU32(out, static_cast<uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

// Assembles frames from a byte stream. It takes no byte beyond the frame it is
// building, so its memory never exceeds one maximal frame whatever is fed.
class FrameDecoder {
public:
    enum class State { Incomplete, Complete, Malformed };

    // Returns how many of the bytes were taken; stops at the end of a frame.
    size_t feed(const uint8_t* data, size_t length) {
        if (m_state != State::Incomplete || data == nullptr) return 0;
        size_t used = 0;
        while (used < length && m_state == State::Incomplete) {
            if (m_header.size() < kHeaderSize) {
                m_header.push_back(data[used++]);
                if (m_header.size() == kHeaderSize) startPayload();
                continue;
            }
            const size_t n = std::min(length - used, m_need - m_frame.payload.size());
            m_frame.payload.insert(m_frame.payload.end(), data + used, data + used + n);
            used += n;
            if (m_frame.payload.size() == m_need) m_state = State::Complete;
        }
        return used;
    }

    State state() const { return m_state; }

    // The finished frame; the decoder starts on the next one. Only when Complete.
    Frame take() {
        Frame out = std::move(m_frame);
        m_frame = Frame{};
        m_header.clear();
        m_need = 0;
        m_state = State::Incomplete;
        return out;
    }

private:
    void startPayload() {
        const uint32_t length = detail::getU32(m_header.data() + 1);
        if (!isKnownType(m_header[0]) || length > kMaxPayload) {
            m_state = State::Malformed;
            return;
        }
        m_frame.type = static_cast<Type>(m_header[0]);
        m_need = length;
        m_frame.payload.reserve(length);
        if (length == 0) m_state = State::Complete;
    }

    std::vector<uint8_t> m_header;
    Frame m_frame;
    size_t m_need = 0;
    State m_state = State::Incomplete;
};

// --- Device properties (Arrived) ---

using PropertyValue = std::variant<int64_t, std::string>;
struct Property {
    std::string key;
    PropertyValue value;
};

namespace detail {
constexpr uint8_t kTagNumber = 0;
constexpr uint8_t kTagText = 1;
}  // namespace detail

// Each: key length (1 byte), key, tag, then an int64 or a 16-bit length and text.
// Empty when a key or text is too long for its length field or the whole too large.
inline std::vector<uint8_t> encodeProperties(const std::vector<Property>& properties) {
    std::vector<uint8_t> out;
    for (const Property& p : properties) {
        if (p.key.empty() || p.key.size() > 255) return {};
        out.push_back(static_cast<uint8_t>(p.key.size()));
        out.insert(out.end(), p.key.begin(), p.key.end());
        if (const auto* n = std::get_if<int64_t>(&p.value)) {
            out.push_back(detail::kTagNumber);
            detail::putU64(out, static_cast<uint64_t>(*n));
        } else {
            const std::string& text = std::get<std::string>(p.value);
            if (text.size() > 0xFFFF) return {};
            out.push_back(detail::kTagText);
            detail::putU16(out, static_cast<uint16_t>(text.size()));
            out.insert(out.end(), text.begin(), text.end());
        }
        if (out.size() > kMaxPayload) return {};
    }
    return out;
}

inline std::optional<std::vector<Property>> parseProperties(const std::vector<uint8_t>& payload) {
    detail::Cursor c(payload.data(), payload.size());
    std::vector<Property> out;
    while (c.ok() && !c.atEnd()) {
        const uint8_t keyLength = c.u8();
        const uint8_t* key = nullptr;
        if (keyLength == 0 || !c.take(keyLength, &key)) return std::nullopt;
        Property p;
        p.key.assign(reinterpret_cast<const char*>(key), keyLength);
        const uint8_t tag = c.u8();
        if (tag == detail::kTagNumber) {
            p.value = static_cast<int64_t>(c.u64());
        } else if (tag == detail::kTagText) {
            const uint16_t n = c.u16();
            const uint8_t* text = nullptr;
            if (!c.take(n, &text)) return std::nullopt;
            p.value = std::string(reinterpret_cast<const char*>(text), n);
        } else {
            return std::nullopt;
        }
        if (!c.ok()) return std::nullopt;
        out.push_back(std::move(p));
    }
    return out;
}

// --- Reports ---

struct Report {
    uint32_t sequence = 0;  // SetReport only
    uint8_t reportType = 0;
    uint8_t reportID = 0;
    std::vector<uint8_t> bytes;
};

inline std::vector<uint8_t> encodeInput(uint8_t reportType, uint8_t reportID, const uint8_t* data, size_t length) {
    if (length > kMaxReportSize || (data == nullptr && length > 0)) return {};
    std::vector<uint8_t> out{reportType, reportID};
    if (length > 0) out.insert(out.end(), data, data + length);
    return out;
}

inline std::optional<Report> parseInput(const std::vector<uint8_t>& payload) {
    if (payload.size() < 2) return std::nullopt;
    Report r;
    r.reportType = payload[0];
    r.reportID = payload[1];
    r.bytes.assign(payload.begin() + 2, payload.end());
    return r;
}

inline std::vector<uint8_t> encodeSetReport(uint32_t sequence, uint8_t reportType, uint8_t reportID,
                                            const uint8_t* data, size_t length) {
    if (length > kMaxReportSize || (data == nullptr && length > 0)) return {};
    std::vector<uint8_t> out;
    out.reserve(6 + length);
    detail::putU32(out, sequence);
    out.push_back(reportType);
    out.push_back(reportID);
    if (length > 0) out.insert(out.end(), data, data + length);
    return out;
}

inline std::optional<Report> parseSetReport(const std::vector<uint8_t>& payload) {
    if (payload.size() < 6) return std::nullopt;
    Report r;
    r.sequence = detail::getU32(payload.data());
    r.reportType = payload[4];
    r.reportID = payload[5];
    r.bytes.assign(payload.begin() + 6, payload.end());
    return r;
}

// --- Acknowledgements ---

struct Ack {
    uint32_t sequence = 0;
    int32_t result = 0;  // an IOReturn
};

inline std::vector<uint8_t> encodeAck(uint32_t sequence, int32_t result) {
    std::vector<uint8_t> out;
    detail::putU32(out, sequence);
    detail::putU32(out, static_cast<uint32_t>(result));
    return out;
}

inline std::optional<Ack> parseAck(const std::vector<uint8_t>& payload) {
    if (payload.size() != 8) return std::nullopt;
    return Ack{detail::getU32(payload.data()), static_cast<int32_t>(detail::getU32(payload.data() + 4))};
}

}  // namespace ktrplatform::simwire
