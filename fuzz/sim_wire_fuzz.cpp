// The frame decoder of the simulator link on arbitrary bytes, fed in pieces of
// varying size as a socket would hand them over. Every frame it yields must
// parse back to exactly its own bytes, or be refused by its payload reader.
#include <ktrplatform/SimWire.h>

#include <cstddef>
#include <cstdint>

namespace sw = ktrplatform::simwire;

static void check(const sw::Frame& frame) {
    const std::vector<uint8_t>& p = frame.payload;
    if (p.size() > sw::kMaxPayload || !sw::isKnownType(static_cast<uint8_t>(frame.type))) __builtin_trap();

    // Every reader on every payload: none may read past it.
    const auto properties = sw::parseProperties(p);
    const auto input = sw::parseInput(p);
    const auto request = sw::parseSetReport(p);
    const auto ack = sw::parseAck(p);

    if (properties && sw::encodeProperties(*properties) != p) __builtin_trap();
    if (input && sw::encodeInput(input->reportType, input->reportID, input->bytes.data(), input->bytes.size()) != p)
        __builtin_trap();
    if (request && sw::encodeSetReport(request->sequence, request->reportType, request->reportID, request->bytes.data(),
                                       request->bytes.size()) != p)
        __builtin_trap();
    if (ack && sw::encodeAck(ack->sequence, ack->result) != p) __builtin_trap();
    if (sw::encodeFrame(frame.type, p).size() != sw::kHeaderSize + p.size()) __builtin_trap();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t piece = data[0] == 0 ? size : data[0];
    ++data;
    --size;

    sw::FrameDecoder decoder;
    size_t pos = 0;
    while (pos < size) {
        const size_t n = piece < size - pos ? piece : size - pos;
        const size_t used = decoder.feed(data + pos, n);
        pos += used;
        if (decoder.state() == sw::FrameDecoder::State::Complete) {
            check(decoder.take());
        } else if (decoder.state() == sw::FrameDecoder::State::Malformed) {
            if (decoder.feed(data, size) != 0) __builtin_trap();
            return 0;
        } else if (used != n) {
            __builtin_trap();  // an incomplete frame must take all it is given
        }
    }
    return 0;
}
