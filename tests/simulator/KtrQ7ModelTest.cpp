#include <gtest/gtest.h>
#include <ktrsim/KtrQ7Model.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <utility>

#include "Requests.h"

using namespace ktrsim;
using namespace simtest;
using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<uint8_t>;
using Kind = Action::Kind;
using Shape = std::vector<std::pair<Kind, std::chrono::milliseconds>>;

struct Reply {
    uint8_t code = 0;
    uint8_t percent = 0;
    size_t size = 0;
};

// The single immediate reply that an unfaulted step must produce.
Reply send(KtrQ7Model& model, const Bytes& report) {
    const auto actions = model.receive(report);
    if (actions.size() != 1 || actions[0].kind != Kind::Reply || actions[0].delay != 0ms) {
        ADD_FAILURE() << "expected one immediate reply";
        return {};
    }
    const Bytes& b = actions[0].bytes;
    return {b.size() > 0 ? b[0] : uint8_t{0}, b.size() > 1 ? b[1] : uint8_t{0}, b.size()};
}

Bytes codes(KtrQ7Model& model, const std::vector<Bytes>& reports) {
    Bytes out;
    for (const Bytes& r : reports) out.push_back(send(model, r).code);
    return out;
}

void expectRejected(KtrQ7Model& model, const Bytes& report) {
    const Reply r = send(model, report);
    EXPECT_EQ(r.code, reply::kRejected);
    EXPECT_EQ(r.percent, 0);
}

Shape shape(const std::vector<Action>& actions) {
    Shape out;
    for (const Action& a : actions) out.emplace_back(a.kind, a.delay);
    return out;
}

// Start, open and all data, checked as the updater would check them.
void transfer(KtrQ7Model& model, const Bytes& file, uint8_t lastReply = reply::kBlockDone) {
    ASSERT_EQ(send(model, startRequestFor(file)).code, reply::kStarted);
    ASSERT_EQ(send(model, openRequest()).code, reply::kContinue);
    const auto chunks = dataRequests(file);
    for (size_t c = 0; c < chunks.size(); ++c) {
        const Reply r = send(model, chunks[c]);
        const bool last = c + 1 == chunks.size();
        ASSERT_EQ(r.code, last ? lastReply : reply::kContinue) << "chunk " << c;
        ASSERT_EQ(r.percent, last ? 100 : (c + 1) * kChunkPayload * 100 / file.size()) << "chunk " << c;
    }
}

}  // namespace

TEST(Crc16Xmodem, KnownVectorsAndChaining) {
    const uint8_t check[] = "123456789", a[] = "A", ff[] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(crc16Xmodem(check, 9), 0x31C3);
    EXPECT_EQ(crc16Xmodem(a, 1), 0x58E5);
    EXPECT_EQ(crc16Xmodem(ff, 4), 0x99CF);
    EXPECT_EQ(crc16Xmodem(nullptr, 0), 0);
    EXPECT_EQ(crc16Xmodem(nullptr, 100), 0);
    const auto file = makeFile(5000);
    const uint16_t head = crc16Xmodem(file.data(), 1234);
    EXPECT_EQ(crc16Xmodem(file.data() + 1234, file.size() - 1234, head), crc16Xmodem(file.data(), file.size()));
}

TEST(StartRequestParsing, FieldsByteOrderAndRefusals) {
    const auto r = startRequest(123, 0x012345, 0xABCD);
    const uint8_t head[10] = {0xF0, 0x00, 0x07, 0xB0, 0x81, 0x45, 0x23, 0x01, 0xCD, 0xAB};
    ASSERT_EQ(std::memcmp(r.data(), head, 10), 0);
    const auto s = parseStartRequest(r.data(), 10);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->version, 123);
    EXPECT_EQ(s->length, 0x012345u);
    EXPECT_EQ(s->crc, 0xABCD);
    EXPECT_EQ(s->blockEntry, 0x81);
    EXPECT_EQ(s->blockNumber(), 1);
    EXPECT_TRUE(s->blockFlag());
    // The 12-bit version spans two bytes; the largest length uses all three.
    for (int version : {1, 999, 0xFFF})
        EXPECT_EQ(parseStartRequest(startRequest(version, 0, 0).data(), 10)->version, version);
    EXPECT_EQ(parseStartRequest(startRequest(1, 0xFFFFFF, 0).data(), 10)->length, 0xFFFFFFu);
    EXPECT_FALSE(parseStartRequest(startRequest(1, 0x80, 0x8001, 0x01).data(), 10)->blockFlag());

    EXPECT_FALSE(parseStartRequest(r.data(), 9));
    EXPECT_FALSE(parseStartRequest(r.data(), 0));
    EXPECT_FALSE(parseStartRequest(nullptr, 1024));
    EXPECT_FALSE(parseStartRequest(openRequest().data(), 1024));
}

// The finish rhythm and whole updates of every size are checked through the updater's transfer.
TEST(ModelConfig, LastChunkReplyWritingCountAndReportSize) {
    ModelConfig config;
    config.lastChunkReply = reply::kBlockDoneAlt;
    config.inputReportSize = 64;
    config.finishWritingReplies = -5;  // behaves like none
    KtrQ7Model model(config);
    transfer(model, makeFile(3000), reply::kBlockDoneAlt);
    EXPECT_EQ(model.phase(), KtrQ7Model::Phase::BlockDone);
    // Asking again after the end keeps the answer.
    for (int i = 0; i < 2; ++i) {
        const Reply done = send(model, finishRequest());
        EXPECT_EQ(done.code, reply::kFinished);
        EXPECT_EQ(done.percent, 100);
        EXPECT_EQ(done.size, 64u);
    }
    EXPECT_EQ(model.phase(), KtrQ7Model::Phase::Finished);
}

// Wrong CRC, missing data, short data reports, a restart, an empty image, a finish without data, the end of the
// session: the image and the answers follow what the device was told.
TEST(ModelImage, CrcLengthAndSessionEdges) {
    const auto file = makeFile(2500);
    auto requests = wholeUpdate(file, 0);
    requests[0] = startRequest(5, static_cast<uint32_t>(file.size()), crc16Xmodem(file.data(), file.size()) ^ 1);
    KtrQ7Model wrongCrc;
    codes(wrongCrc, requests);
    EXPECT_TRUE(wrongCrc.imageComplete());
    EXPECT_FALSE(wrongCrc.crcMatches());

    // Matching the CRC of what arrived is not enough.
    requests[0] = startRequest(5, static_cast<uint32_t>(file.size()), crc16Xmodem(file.data(), 1022));
    requests.resize(3);
    KtrQ7Model partial;
    EXPECT_EQ(codes(partial, requests), (Bytes{reply::kStarted, reply::kContinue, reply::kContinue}));
    EXPECT_FALSE(partial.imageComplete());
    EXPECT_FALSE(partial.crcMatches());
    EXPECT_EQ(send(partial, finishRequest()).code, reply::kWriting);
    // A new start begins a fresh image and a fresh finish sequence.
    const auto other = makeFile(100, 7);
    transfer(partial, other);
    EXPECT_EQ(partial.image(), other);
    EXPECT_EQ(send(partial, finishRequest()).percent, 25);

    // Short data reports carry what they hold.
    KtrQ7Model shortReports;
    codes(shortReports, {startRequest(1, 10, crc16Xmodem(file.data(), 10)), openRequest()});
    EXPECT_EQ(send(shortReports, {command::kData, 1, file[0], file[1], file[2], file[3]}).percent, 40);
    EXPECT_EQ(send(shortReports, {command::kData, 1}).code, reply::kContinue);
    Bytes rest = {command::kData, 1};
    rest.insert(rest.end(), file.begin() + 4, file.begin() + 10);
    EXPECT_EQ(send(shortReports, rest).code, reply::kBlockDone);
    EXPECT_TRUE(shortReports.crcMatches());

    // Announced length 0: the first data report completes the block. Finish is answered without data too (the
    // updater finishes after a refused open block); once the session ends, the device forgets it.
    KtrQ7Model empty;
    EXPECT_EQ(send(empty, startRequestFor({})).code, reply::kStarted);
    EXPECT_EQ(send(empty, openRequest()).percent, 100);
    EXPECT_EQ(send(empty, dataRequests(file)[0]).code, reply::kBlockDone);
    EXPECT_TRUE(empty.image().empty());
    EXPECT_TRUE(empty.crcMatches());
    EXPECT_EQ(codes(empty, {startRequestFor({}), finishRequest()}), (Bytes{reply::kStarted, reply::kWriting}));
    empty.endSession();
    EXPECT_EQ(empty.phase(), KtrQ7Model::Phase::Idle);
    expectRejected(empty, finishRequest());
}

TEST(ModelMalformedInput, DefinedAnswerAndNoStateChange) {
    const auto file = makeFile(3000);
    const auto chunks = dataRequests(file);
    const auto start = startRequestFor(file);
    KtrQ7Model model;
    // Out of order before any start, malformed, too short, block number 0.
    for (const Bytes& r : {chunks[0], openRequest(), finishRequest(), Bytes{}, Bytes{0x00}, Bytes{0x42, 1, 2, 3},
                           Bytes(start.begin(), start.begin() + 9), startRequest(1, 10, 0, 0x80)})
        expectRejected(model, r);
    const auto none = model.receive(nullptr, 1024);
    ASSERT_EQ(none.size(), 1u);
    EXPECT_EQ(none[0].bytes[0], reply::kRejected);
    EXPECT_EQ(model.phase(), KtrQ7Model::Phase::Idle);
    EXPECT_EQ(model.receivedCount(), 9u);
    EXPECT_EQ(model.receivedReports()[3], Bytes{});

    ASSERT_EQ(send(model, start).code, reply::kStarted);
    expectRejected(model, chunks[0]);                   // before the block is opened
    expectRejected(model, openRequest(2));              // another block than announced
    expectRejected(model, Bytes{command::kOpenBlock});  // no block number
    ASSERT_EQ(send(model, openRequest()).code, reply::kContinue);
    expectRejected(model, openRequest());             // opened twice
    expectRejected(model, dataRequests(file, 2)[0]);  // wrong block number
    expectRejected(model, Bytes{command::kData});     // no block number
    expectRejected(model, Bytes(4096, 0x77));
    EXPECT_TRUE(model.image().empty());

    // The session survives the rejects.
    codes(model, chunks);
    EXPECT_TRUE(model.crcMatches());
    expectRejected(model, chunks.back());  // data beyond the announced length
    EXPECT_EQ(model.image(), file);
}

TEST(ModelFaults, ReplyChanges) {
    const auto file = makeFile(3000);
    const auto chunks = dataRequests(file);
    KtrQ7Model model;
    model.addFault(fault(Step::report(0), [](Fault& f) { f.noReply = true; }));
    // Block done on a chunk that is not the last.
    model.addFault(fault(Step::ofCommand(command::kData, 0), [](Fault& f) { f.replyCode = reply::kBlockDone; }));
    model.addFault(fault(Step::chunk(1), [](Fault& f) { f.percent = 250; }));
    model.addFault(fault(Step::ofCommand(command::kFinish, 1), [](Fault& f) { f.delay = 1500ms; }));

    // The unanswered start is still taken in.
    EXPECT_TRUE(model.receive(startRequestFor(file)).empty());
    EXPECT_EQ(model.phase(), KtrQ7Model::Phase::Started);
    send(model, openRequest());
    EXPECT_EQ(send(model, chunks[0]).code, reply::kBlockDone);
    const Reply second = send(model, chunks[1]);
    EXPECT_EQ(second.code, reply::kContinue);
    EXPECT_EQ(second.percent, 250);
    EXPECT_EQ(send(model, chunks[2]).code, reply::kBlockDone);
    EXPECT_TRUE(model.crcMatches());

    send(model, finishRequest());
    const auto delayed = model.receive(finishRequest());
    EXPECT_EQ(shape(delayed), (Shape{{Kind::Reply, 1500ms}}));
    EXPECT_EQ(delayed.at(0).bytes[0], reply::kWriting);
    EXPECT_EQ(send(model, finishRequest()).code, reply::kWriting);
    model.clearFaults();
    EXPECT_EQ(send(model, finishRequest()).code, reply::kFinished);
}

TEST(ModelFaults, ReplySizes) {
    for (size_t size : {size_t{0}, size_t{1}, size_t{2}, size_t{2000}}) {
        KtrQ7Model model;
        model.addFault(fault(Step::report(0), [&](Fault& f) { f.replySize = size; }));
        const auto actions = model.receive(startRequest(1, 10, 0));
        ASSERT_EQ(actions.size(), 1u);
        const Bytes& bytes = actions[0].bytes;
        ASSERT_EQ(bytes.size(), size);
        EXPECT_TRUE(size == 0 || bytes[0] == reply::kStarted) << size;
        EXPECT_TRUE(size <= 2 || bytes[size - 1] == 0) << size;
    }
}

TEST(ModelFaults, RemovalAndRearrival) {
    const auto file = makeFile(3000);
    const auto chunks = dataRequests(file);
    KtrQ7Model instead;
    instead.addFault(fault(Step::chunk(1), [](Fault& f) {
        f.removal = Fault::Removal::InsteadOfReply;
        f.delay = 40ms;
        f.rearriveAfter = 700ms;
    }));
    codes(instead, {startRequestFor(file), openRequest(), chunks[0]});
    EXPECT_EQ(shape(instead.receive(chunks[1])), (Shape{{Kind::Unplug, 40ms}, {Kind::Replug, 700ms}}));
    // The unplugged device lost its session and takes a new one.
    EXPECT_EQ(instead.phase(), KtrQ7Model::Phase::Idle);
    expectRejected(instead, chunks[2]);
    expectRejected(instead, finishRequest());
    instead.clearFaults();
    transfer(instead, file);
    EXPECT_TRUE(instead.crcMatches());

    KtrQ7Model after;
    after.addFault(fault(Step::ofCommand(command::kOpenBlock, 0), [](Fault& f) {
        f.removal = Fault::Removal::AfterReply;
        f.delay = 25ms;
    }));
    send(after, startRequestFor(file));
    const auto actions = after.receive(openRequest());
    EXPECT_EQ(shape(actions), (Shape{{Kind::Reply, 25ms}, {Kind::Unplug, 0ms}}));
    EXPECT_EQ(actions.at(0).bytes[0], reply::kContinue);

    // Removal with no reply and no re-arrival.
    KtrQ7Model silent;
    silent.addFault(fault(Step::report(0), [](Fault& f) {
        f.noReply = true;
        f.removal = Fault::Removal::AfterReply;
    }));
    EXPECT_EQ(shape(silent.receive(startRequestFor(file))), (Shape{{Kind::Unplug, 0ms}}));
}

TEST(ModelFaults, StepCounting) {
    const auto file = makeFile(1500);
    const auto chunks = dataRequests(file);
    KtrQ7Model model;
    model.addFault(fault(Step::chunk(0), [](Fault& f) { f.replySize = 3; }));
    model.addFault(fault(Step::ofCommand(command::kData, 1), [](Fault& f) { f.percent = 2; }));
    model.addFault(fault(Step::report(6), [](Fault& f) { f.replyCode = 0x12; }));
    model.addFault(fault(Step::report(6), [](Fault& f) { f.percent = 3; }));
    model.addFault(fault(Step::ofCommand(0x99, 0), [](Fault& f) { f.noReply = true; }));

    codes(model, {startRequestFor(file), openRequest()});  // reports 0 and 1
    EXPECT_EQ(send(model, chunks[0]).size, 3u);            // 2: chunk 0, data 0
    EXPECT_EQ(send(model, chunks[1]).percent, 2);          // 3: chunk 1, data 1
    // A new start resets the chunk count but not the command count.
    codes(model, {startRequestFor(file), openRequest()});  // 4, 5
    const Reply r = send(model, chunks[0]);                // 6: chunk 0 again, data 2
    EXPECT_EQ(r.code, 0x12);
    EXPECT_EQ(r.percent, 3);  // the later fault for the same step wins
    EXPECT_EQ(r.size, 3u);
    EXPECT_EQ(send(model, chunks[1]).code, reply::kBlockDone);
}

TEST(ModelThreads, ConcurrentReceiversAndReaders) {
    KtrQ7Model model;
    const auto file = makeFile(4000);
    const auto chunks = dataRequests(file);
    const std::vector<Bytes> others = {startRequestFor(file), openRequest(), finishRequest()};
    constexpr int kThreads = 4, kPerThread = 300;
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            (void)model.image();
            (void)model.crcMatches();
            (void)model.receivedCount();
            (void)model.phase();
        }
    });
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            for (size_t i = 0; i < kPerThread; ++i) {
                const size_t k = (i + static_cast<size_t>(t)) % 4;
                model.receive(k == 3 ? chunks[i % chunks.size()] : others[k]);
            }
        });
    }
    for (auto& s : senders) s.join();
    stop = true;
    reader.join();
    EXPECT_EQ(model.receivedCount(), size_t{kThreads * kPerThread});
    EXPECT_LE(model.image().size(), file.size());
}
