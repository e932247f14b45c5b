// The simulated KTR-Q7 in-process: what it refuses, its faults as --fault writes them, its unplug, and the
// decoding of its link to the platform. Its answers to whole updates are checked through ktrq7-sim.
#include <gtest/gtest.h>
#include <ktrplatform/SimWire.h>
#include <ktrsim/FaultText.h>
#include <ktrsim/SimulatedKtrQ7.h>

#include "Requests.h"

using namespace ktrsim;
using namespace simtest;
namespace sw = ktrplatform::simwire;

// An updater that breaks the protocol is told so, and its session goes on. The start announces the CRC of the
// first chunk alone: no step may leave a good CRC verdict ("!").
TEST(Model, RefusesWhatBreaksTheProtocol) {
    const Bytes file = makeFile(3000), start = startRequest(1, 3000, crc16Xmodem(file.data(), kChunkPayload));
    const auto d = dataRequests(file);
    const Bytes open = openRequest(), cut(start.begin(), start.begin() + 9), block0 = startRequest(1, 3000, 0, 0x80),
                block2 = openRequest(2), data2 = dataRequests(file, 2)[0];
    const std::vector<Bytes> steps = {d[0], finishRequest(), {},   cut,  block0, start, d[0], block2, open,
                                      open, data2,           d[0], d[1], d[2],   d[2]};
    KtrQ7Model model;
    std::string codes;
    for (const Bytes& r : steps)
        codes += replyText(model.receive(r).at(0).bytes).substr(0, 2) + (model.crcMatches() ? "! " : " ");
    EXPECT_EQ(codes, "ff ff ff ff ff f8 ff ff f9 ff ff f9 f9 fe ff ");
    EXPECT_EQ(model.image(), file);
}

// Faults as --fault writes them, over two sessions: each answer that differs from the unfaulted device's
// ("." where none does), as replyText, U for a removal and R for a re-arrival, @MS for a delay.
TEST(FaultText, EachFaultChangesItsStepOnly) {
    const Bytes file = makeFile(3000), start = startRequestFor(file), open = openRequest();
    const auto d = dataRequests(file);
    const std::vector<Bytes> requests = {start, open, d[0], d[1], start, open, d[0], d[1], d[2], finishRequest()};
    const std::string normal[] = {"f8/0", "f9/0",  "f9/34", "f9/68",  "f8/0",
                                  "f9/0", "f9/34", "f9/68", "fe/100", "f7/25"};
    const std::pair<std::vector<const char*>, const char*> rows[] = {
        {{"report=0x1,noreply"}, ". - . . . . . . . ."},
        {{"chunk=1,reply=0xFE"}, ". . . fe/68 . . . fe/68 . ."},
        {{"cmd=0xF3:1,percent=250"}, ". . . f9/250 . . . . . ."},
        {{"report=0,size=65530", "size=1,report=1", "report=2,size=0"}, "f8/0#65530 f9#1 #0 . . . . . . ."},
        {{"cmd=242:0,delay=86400000"}, ". . . . . . . . . f7/25@86400000"},
        {{"chunk=0,unplug=instead,delay=40,rearrive=700"}, ". . U@40+R@700 ff/0 . . U@40+R@700 ff/0 ff/0 ff/0"},
        {{"cmd=0xF1:0,unplug=after,delay=25"}, ". f9/0@25+U ff/0 ff/0 . . . . . ."},
        {{"report=0,noreply,unplug=after"}, "U ff/0 ff/0 ff/0 . . . . . ."},
        {{"report=3,reply=0x12", "report=3,reply=0x13,percent=3"}, ". . . 13/3 . . . . . ."},  // the later wins
    };
    std::string error;
    for (const auto& [texts, expected] : rows) {
        KtrQ7Model model;
        for (const char* text : texts) model.addFault(parseFaultText(text, error).value());
        std::string got;
        for (size_t i = 0; i < requests.size(); ++i) {
            std::string answer;
            for (const Action& a : model.receive(requests[i])) {
                const std::string kinds[] = {replyText(a.bytes), "U", "R"};
                answer += (answer.empty() ? "" : "+") + kinds[int(a.kind)];
                if (a.delay.count() > 0) answer += "@" + std::to_string(a.delay.count());
            }
            got += (i ? " " : "") + (answer == normal[i] ? "." : answer.empty() ? "-" : answer);
        }
        EXPECT_EQ(got, expected) << texts[0];
    }
    for (const char* text : {"", "report=1,chunk=2", "reply=0xFE", "chunk=1,reply=256", "chunk=1,rearrive=10",
                             "chunk=1,size=65531", "chunk=1,delay=86400001", "chunk=18446744073709551616"})
        EXPECT_FALSE(parseFaultText(text, error)) << text;
}

TEST(SimulatedBus, UnplugDropsAPendingReply) {
    SimulatedKtrQ7 sim;
    sim.model().addFault(fault(Step::report(0), [](Fault& f) { f.delay = std::chrono::hours(1); }));
    ASSERT_EQ(IOHIDDeviceSetReport(sim.device()->ref(), kIOHIDReportTypeOutput, 0, finishRequest().data(), 1024), 0);
    EXPECT_FALSE(sim.waitForIdle(std::chrono::milliseconds(20)));
    sim.unplug();
    EXPECT_TRUE(sim.waitForIdle());
}

// Frames split anywhere, as a socket may hand them over, come out whole and one at a time.
TEST(SimWire, DecoderTakesFramesInAnyPieces) {
    const Bytes ack = sw::encodeAck(7, -5), frame = sw::encodeFrame(sw::Type::Ack, ack);
    Bytes stream = frame;
    stream.insert(stream.end(), frame.begin(), frame.end());
    for (size_t piece = 1; piece <= stream.size(); ++piece) {
        sw::FrameDecoder decoder;
        size_t frames = 0;
        for (size_t at = 0, n = 1; at < stream.size() && n > 0; at += n) {
            n = decoder.feed(stream.data() + at, std::min(piece, stream.size() - at));
            if (decoder.state() == sw::FrameDecoder::State::Complete) frames += decoder.take().payload == ack;
        }
        EXPECT_EQ(frames, 2u) << piece;
    }
}
