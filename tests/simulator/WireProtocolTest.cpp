#include <gtest/gtest.h>
#include <ktrplatform/SimWire.h>

#include <cstring>

using namespace ktrplatform::simwire;

namespace {

using Bytes = std::vector<uint8_t>;

struct Fed {
    std::vector<Frame> frames;
    FrameDecoder::State state = FrameDecoder::State::Incomplete;
    size_t used = 0;  // bytes taken
};

// Feeds the stream in pieces of the given size, as a socket might hand it over.
Fed feedAll(const Bytes& stream, size_t piece) {
    FrameDecoder decoder;
    Fed out;
    size_t pos = 0;
    while (pos < stream.size()) {
        const size_t n = std::min(piece, stream.size() - pos);
        const size_t used = decoder.feed(stream.data() + pos, n);
        pos += used;
        out.used += used;
        if (decoder.state() == FrameDecoder::State::Complete) {
            out.frames.push_back(decoder.take());
        } else if (decoder.state() == FrameDecoder::State::Malformed) {
            break;
        }
    }
    out.state = decoder.state();
    return out;
}

Bytes header(uint8_t type, uint32_t length) {
    return {type, static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length >> 16),
            static_cast<uint8_t>(length >> 24)};
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace

TEST(SimWireFrames, RoundTripInAnyPieces) {
    const Bytes report(1024, 0xA5);
    const std::vector<Property> props = {
        {"VendorID", int64_t{0x4D2A}}, {"Product", std::string("KTR-Q7")}, {"Big", int64_t{-5000000000}}};
    const Bytes stream = concat({encodeFrame(Type::Arrived, encodeProperties(props)), encodeFrame(Type::Left, {}),
                                 encodeFrame(Type::Input, encodeInput(0, 7, report.data(), report.size())),
                                 encodeFrame(Type::Ack, encodeAck(0xFFFFFFFE, static_cast<int32_t>(0xE00002C0))),
                                 encodeFrame(Type::SetReport, encodeSetReport(3, 1, 0, report.data(), 2))});
    for (size_t piece : {size_t{1}, size_t{4}, size_t{5}, size_t{1000}, stream.size()}) {
        const Fed fed = feedAll(stream, piece);
        ASSERT_EQ(fed.frames.size(), 5u) << "pieces of " << piece;
        EXPECT_EQ(fed.state, FrameDecoder::State::Incomplete);
        EXPECT_EQ(fed.used, stream.size());

        const auto parsed = parseProperties(fed.frames[0].payload);
        ASSERT_TRUE(parsed);
        ASSERT_EQ(parsed->size(), 3u);
        EXPECT_EQ((*parsed)[0].key, "VendorID");
        EXPECT_EQ(std::get<int64_t>((*parsed)[0].value), 0x4D2A);
        EXPECT_EQ(std::get<std::string>((*parsed)[1].value), "KTR-Q7");
        EXPECT_EQ(std::get<int64_t>((*parsed)[2].value), -5000000000);
        EXPECT_EQ(fed.frames[1].type, Type::Left);
        EXPECT_TRUE(fed.frames[1].payload.empty());
        const auto input = parseInput(fed.frames[2].payload);
        ASSERT_TRUE(input);
        EXPECT_EQ(input->reportID, 7);
        EXPECT_EQ(input->bytes, report);
        const auto ack = parseAck(fed.frames[3].payload);
        ASSERT_TRUE(ack);
        EXPECT_EQ(ack->sequence, 0xFFFFFFFEu);
        EXPECT_EQ(ack->result, static_cast<int32_t>(0xE00002C0));
        const auto set = parseSetReport(fed.frames[4].payload);
        ASSERT_TRUE(set);
        EXPECT_EQ(set->sequence, 3u);
        EXPECT_EQ(set->reportType, 1);
        EXPECT_EQ(set->bytes, Bytes(2, 0xA5));
    }
}

TEST(SimWireFrames, TruncatedFramesYieldNothing) {
    const Bytes report(100, 1);
    const Bytes frame = encodeFrame(Type::Input, encodeInput(0, 0, report.data(), report.size()));
    for (size_t cut = 0; cut < frame.size(); ++cut) {
        const Fed fed = feedAll(Bytes(frame.begin(), frame.begin() + static_cast<long>(cut)), 3);
        EXPECT_TRUE(fed.frames.empty()) << cut;
        EXPECT_EQ(fed.state, FrameDecoder::State::Incomplete) << cut;
    }
    // The decoder stops at the end of a frame: the next one's bytes are left to the caller.
    FrameDecoder decoder;
    const Bytes two = concat({encodeFrame(Type::Left, {}), encodeFrame(Type::Left, {})});
    EXPECT_EQ(decoder.feed(two.data(), two.size()), kHeaderSize);
    EXPECT_EQ(decoder.state(), FrameDecoder::State::Complete);
    EXPECT_EQ(decoder.feed(two.data(), two.size()), 0u);  // nothing more until taken
    decoder.take();
    EXPECT_EQ(decoder.feed(nullptr, 10), 0u);
}

TEST(SimWireFrames, OversizedOrUnknownFramesRejectedBeforeAnyPayload) {
    // The largest allowed payload is taken whole.
    const Bytes largest = encodeFrame(Type::Input, Bytes(kMaxPayload, 9));
    ASSERT_EQ(largest.size(), kHeaderSize + kMaxPayload);
    const Fed fed = feedAll(largest, 4096);
    ASSERT_EQ(fed.frames.size(), 1u);
    EXPECT_EQ(fed.frames[0].payload.size(), kMaxPayload);
    // What the other side would refuse is not sent in the first place.
    EXPECT_TRUE(encodeFrame(Type::Input, Bytes(kMaxPayload + 1, 9)).empty());
    const Bytes big(kMaxReportSize + 1, 0);
    EXPECT_TRUE(encodeSetReport(1, 1, 0, big.data(), big.size()).empty());
    EXPECT_EQ(encodeSetReport(1, 1, 0, big.data(), kMaxReportSize).size(), kMaxPayload);
    EXPECT_TRUE(encodeProperties({{std::string(256, 'k'), int64_t{1}}}).empty());
    EXPECT_TRUE(encodeProperties(std::vector<Property>(1000, Property{"K", std::string(100, 't')})).empty());

    const auto expectMalformed = [](uint8_t type, uint32_t length) {
        FrameDecoder decoder;
        const Bytes stream = concat({header(type, length), Bytes(64, 0)});
        EXPECT_EQ(decoder.feed(stream.data(), stream.size()), kHeaderSize) << int(type) << " " << length;
        EXPECT_EQ(decoder.state(), FrameDecoder::State::Malformed) << int(type) << " " << length;
        // Once malformed it takes nothing more: the connection is to be closed.
        EXPECT_EQ(decoder.feed(stream.data(), stream.size()), 0u);
    };
    for (uint32_t length : {static_cast<uint32_t>(kMaxPayload + 1), 0x7FFFFFFFu, 0xFFFFFFFFu})
        expectMalformed(static_cast<uint8_t>(Type::Input), length);
    for (uint8_t type : {0x00, 0x05, 0x0F, 0x11, 0x7F, 0xFF}) expectMalformed(type, 0);
}

TEST(SimWirePayloads, MalformedPayloadsRejected) {
    // Every cut of a valid property list is refused, but the one between its two properties.
    const Bytes props = encodeProperties({{"VendorID", int64_t{1}}, {"Product", std::string("KTR-Q7")}});
    const size_t between = 1 + 8 + 1 + 8;
    for (size_t cut = 1; cut < props.size(); ++cut) {
        const auto parsed = parseProperties(Bytes(props.begin(), props.begin() + static_cast<long>(cut)));
        EXPECT_EQ(parsed.has_value(), cut == between) << cut;
    }
    EXPECT_TRUE(parseProperties({}));                        // no properties at all is fine
    EXPECT_FALSE(parseProperties({0}));                      // empty key
    EXPECT_FALSE(parseProperties({1, 'K', 2, 0, 0}));        // unknown value tag
    EXPECT_FALSE(parseProperties({1, 'K', 1, 0xFF, 0xFF}));  // text longer than the payload

    EXPECT_FALSE(parseAck(Bytes(7, 0)));
    EXPECT_FALSE(parseAck(Bytes(9, 0)));
    EXPECT_FALSE(parseSetReport(Bytes(5, 0)));
    EXPECT_TRUE(parseSetReport(Bytes(6, 0)));
    EXPECT_FALSE(parseInput(Bytes(1, 0)));
    EXPECT_TRUE(parseInput(Bytes(2, 0)));
}
