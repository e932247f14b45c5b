#include <gtest/gtest.h>
#include <ktrsim/KtrQ7Model.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "Requests.h"

using namespace ktrsim;
using namespace simtest;
using namespace std::chrono_literals;

namespace {

struct Reply {
    uint8_t code = 0;
    uint8_t percent = 0;
    size_t size = 0;
};

// The single immediate reply that an unfaulted step must produce.
Reply replyOf(const std::vector<Action>& actions) {
    EXPECT_EQ(actions.size(), 1u);
    if (actions.size() != 1 || actions[0].kind != Action::Kind::Reply) {
        ADD_FAILURE() << "expected one reply";
        return {};
    }
    EXPECT_EQ(actions[0].delay, 0ms);
    const auto& b = actions[0].bytes;
    return {b.size() > 0 ? b[0] : uint8_t{0}, b.size() > 1 ? b[1] : uint8_t{0}, b.size()};
}

Reply send(KtrQ7Model& model, const std::vector<uint8_t>& report) { return replyOf(model.receive(report)); }

void expectRejected(KtrQ7Model& model, const std::vector<uint8_t>& report) {
    const Reply r = send(model, report);
    EXPECT_EQ(r.code, reply::kRejected);
    EXPECT_EQ(r.percent, 0);
}

// Start, open and all data, checked as the updater would check them.
void transfer(KtrQ7Model& model, const std::vector<uint8_t>& file, uint8_t lastReply = reply::kBlockDone) {
    ASSERT_EQ(send(model, startRequestFor(file)).code, reply::kStarted);
    ASSERT_EQ(send(model, openRequest()).code, reply::kContinue);
    const auto chunks = dataRequests(file);
    for (size_t c = 0; c < chunks.size(); ++c) {
        const Reply r = send(model, chunks[c]);
        if (c + 1 < chunks.size()) {
            ASSERT_EQ(r.code, reply::kContinue) << "chunk " << c;
            ASSERT_EQ(r.percent, (c + 1) * kChunkPayload * 100 / file.size()) << "chunk " << c;
        } else {
            ASSERT_EQ(r.code, lastReply);
            ASSERT_EQ(r.percent, 100);
        }
    }
}

}  // namespace

TEST(Crc16Xmodem, KnownVectorsAndChaining) {
    const char* check = "123456789";
    EXPECT_EQ(crc16Xmodem(reinterpret_cast<const uint8_t*>(check), 9), 0x31C3);
    const uint8_t a = 'A';
    EXPECT_EQ(crc16Xmodem(&a, 1), 0x58E5);
    const uint8_t ff[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(crc16Xmodem(ff, 4), 0x99CF);
    EXPECT_EQ(crc16Xmodem(nullptr, 0), 0);
    EXPECT_EQ(crc16Xmodem(nullptr, 100), 0);
    const auto file = makeFile(5000);
    const uint16_t head = crc16Xmodem(file.data(), 1234);
    EXPECT_EQ(crc16Xmodem(file.data() + 1234, file.size() - 1234, head), crc16Xmodem(file.data(), file.size()));
}

TEST(StartRequestParsing, FieldsAndByteOrder) {
    const auto r = startRequest(123, 0x012345, 0xABCD);
    const uint8_t head[10] = {0xF0, 0x00, 0x07, 0xB0, 0x81, 0x45, 0x23, 0x01, 0xCD, 0xAB};
    ASSERT_EQ(std::memcmp(r.data(), head, 10), 0);
    const auto s = parseStartRequest(r.data(), r.size());
    ASSERT_TRUE(s);
    EXPECT_EQ(s->version, 123);
    EXPECT_EQ(s->length, 0x012345u);
    EXPECT_EQ(s->crc, 0xABCD);
    EXPECT_EQ(s->blockEntry, 0x81);
    EXPECT_EQ(s->blockNumber(), 1);
    EXPECT_TRUE(s->blockFlag());

    // The 12-bit version spans two bytes; the largest length uses all three.
    EXPECT_EQ(parseStartRequest(startRequest(999, 0, 0).data(), 10)->version, 999);
    EXPECT_EQ(parseStartRequest(startRequest(1, 0, 0).data(), 10)->version, 1);
    EXPECT_EQ(parseStartRequest(startRequest(0xFFF, 0, 0).data(), 10)->version, 0xFFF);
    EXPECT_EQ(parseStartRequest(startRequest(1, 0xFFFFFF, 0).data(), 10)->length, 0xFFFFFFu);
    EXPECT_FALSE(parseStartRequest(startRequest(1, 0x80, 0x8001, 0x01).data(), 10)->blockFlag());
}

TEST(StartRequestParsing, RejectsShortOrForeignReports) {
    const auto r = startRequest(123, 100, 0x1234);
    EXPECT_FALSE(parseStartRequest(r.data(), 9));
    EXPECT_FALSE(parseStartRequest(r.data(), 0));
    EXPECT_FALSE(parseStartRequest(nullptr, 1024));
    EXPECT_FALSE(parseStartRequest(openRequest().data(), 1024));
    EXPECT_TRUE(parseStartRequest(r.data(), 10));
}

class HappyPath : public ::testing::TestWithParam<size_t> {};

TEST_P(HappyPath, WholeExchangeKeepsTheImage) {
    const auto file = makeFile(GetParam(), static_cast<uint32_t>(GetParam()));
    KtrQ7Model model;
    transfer(model, file);
    EXPECT_EQ(model.phase(), KtrQ7Model::Phase::BlockDone);

    // Finish: 0xF7 with a rising percentage while writing, then 0xFC 100.
    int last = -1;
    for (int i = 0; i < 3; ++i) {
        const Reply r = send(model, finishRequest());
        EXPECT_EQ(r.code, reply::kWriting);
        EXPECT_GT(r.percent, last);
        EXPECT_LT(r.percent, 100);
        last = r.percent;
    }
    const Reply done = send(model, finishRequest());
    EXPECT_EQ(done.code, reply::kFinished);
    EXPECT_EQ(done.percent, 100);
    EXPECT_EQ(done.size, kRequestSize);
    EXPECT_EQ(model.phase(), KtrQ7Model::Phase::Finished);

    EXPECT_EQ(model.image(), file);
    EXPECT_TRUE(model.imageComplete());
    EXPECT_TRUE(model.crcMatches());
    EXPECT_EQ(model.imageCrc(), crc16Xmodem(file.data(), file.size()));

    const size_t chunks = (file.size() + kChunkPayload - 1) / kChunkPayload;
    const auto reports = model.receivedReports();
    ASSERT_EQ(reports.size(), 2 + chunks + 4);
    EXPECT_EQ(reports.front(), startRequestFor(file));
    EXPECT_EQ(reports[1], openRequest());
    EXPECT_EQ(reports[2 + chunks - 1], dataRequests(file).back());
    EXPECT_EQ(reports.back(), finishRequest());
}

INSTANTIATE_TEST_SUITE_P(FileSizes, HappyPath, ::testing::Values(37, 1022, 1023, 2044, 74565));

TEST(ModelConfig, LastChunkReplyWritingCountAndReportSize) {
    ModelConfig config;
    config.lastChunkReply = reply::kBlockDoneAlt;
    config.finishWritingReplies = 0;
    config.inputReportSize = 64;
    KtrQ7Model model(config);
    const auto file = makeFile(3000);
    transfer(model, file, reply::kBlockDoneAlt);
    const Reply done = send(model, finishRequest());
    EXPECT_EQ(done.code, reply::kFinished);
    EXPECT_EQ(done.size, 64u);
    // Asking again after the end keeps the answer.
    EXPECT_EQ(send(model, finishRequest()).code, reply::kFinished);

    // A negative count behaves like none.
    config.finishWritingReplies = -5;
    KtrQ7Model negative(config);
    transfer(negative, file, reply::kBlockDoneAlt);
    EXPECT_EQ(send(negative, finishRequest()).code, reply::kFinished);
}

TEST(ModelImage, CutToAnnouncedLengthAndCrcChecked) {
    // A short last chunk carries stale bytes after its data; they must not enter the image.
    const auto file = makeFile(1022 + 5);
    KtrQ7Model model;
    transfer(model, file);
    EXPECT_EQ(model.image().size(), file.size());
    EXPECT_TRUE(model.crcMatches());

    // Correct length, wrong CRC.
    KtrQ7Model wrongCrc;
    const uint16_t crc = crc16Xmodem(file.data(), file.size());
    ASSERT_EQ(send(wrongCrc, startRequest(5, static_cast<uint32_t>(file.size()), crc ^ 1)).code, reply::kStarted);
    ASSERT_EQ(send(wrongCrc, openRequest()).code, reply::kContinue);
    for (const auto& r : dataRequests(file)) send(wrongCrc, r);
    EXPECT_TRUE(wrongCrc.imageComplete());
    EXPECT_FALSE(wrongCrc.crcMatches());

    // Incomplete image: matching CRC of what arrived is not enough.
    KtrQ7Model partial;
    const auto head = std::vector<uint8_t>(file.begin(), file.begin() + 1022);
    send(partial, startRequest(5, static_cast<uint32_t>(file.size()), crc16Xmodem(head.data(), head.size())));
    send(partial, openRequest());
    EXPECT_EQ(send(partial, dataRequests(file)[0]).code, reply::kContinue);
    EXPECT_FALSE(partial.imageComplete());
    EXPECT_FALSE(partial.crcMatches());

    // Short data reports carry what they hold.
    KtrQ7Model shortReports;
    send(shortReports, startRequest(1, 10, crc16Xmodem(file.data(), 10)));
    send(shortReports, openRequest());
    std::vector<uint8_t> r = {command::kData, 1, file[0], file[1], file[2], file[3]};
    EXPECT_EQ(send(shortReports, r).percent, 40);
    r = {command::kData, 1};
    EXPECT_EQ(send(shortReports, r).code, reply::kContinue);
    r.insert(r.end(), file.begin() + 4, file.begin() + 10);
    EXPECT_EQ(send(shortReports, r).code, reply::kBlockDone);
    EXPECT_TRUE(shortReports.crcMatches());
}

TEST(ModelSession, RestartAndEmptyBlock) {
    const auto file = makeFile(2500);
    KtrQ7Model model;
    send(model, startRequestFor(file));
    send(model, openRequest());
    send(model, dataRequests(file)[0]);
    send(model, finishRequest());
    // A new start begins a fresh image and a fresh finish sequence.
    const auto other = makeFile(100, 7);
    transfer(model, other);
    EXPECT_EQ(model.image(), other);
    EXPECT_EQ(model.announced()->length, 100u);
    EXPECT_EQ(send(model, finishRequest()).percent, 25);

    // Announced length 0: the first data report completes the block.
    KtrQ7Model empty;
    EXPECT_EQ(send(empty, startRequest(1, 0, 0)).code, reply::kStarted);
    EXPECT_EQ(send(empty, openRequest()).percent, 100);
    EXPECT_EQ(send(empty, dataRequests(file)[0]).code, reply::kBlockDone);
    EXPECT_TRUE(empty.image().empty());
    EXPECT_TRUE(empty.crcMatches());

    // Finish is answered without data too (the updater finishes after a refused open block).
    KtrQ7Model noData;
    send(noData, startRequestFor(file));
    EXPECT_EQ(send(noData, finishRequest()).code, reply::kWriting);

    // After the session ends, the device forgets it.
    noData.endSession();
    EXPECT_EQ(noData.phase(), KtrQ7Model::Phase::Idle);
    expectRejected(noData, finishRequest());
}

TEST(ModelMalformedInput, DefinedAnswerAndNoStateChange) {
    const auto file = makeFile(3000);
    KtrQ7Model model;
    // Out of order before any start.
    expectRejected(model, dataRequests(file)[0]);
    expectRejected(model, openRequest());
    expectRejected(model, finishRequest());
    // Malformed reports.
    expectRejected(model, {});
    expectRejected(model, {0x00});
    expectRejected(model, {0x42, 1, 2, 3});
    const auto start = startRequestFor(file);
    expectRejected(model, std::vector<uint8_t>(start.begin(), start.begin() + 9));
    expectRejected(model, startRequest(1, 10, 0, 0x80));  // block number 0
    EXPECT_TRUE(replyOf(model.receive(nullptr, 1024)).code == reply::kRejected);
    EXPECT_EQ(model.phase(), KtrQ7Model::Phase::Idle);
    EXPECT_EQ(model.receivedCount(), 9u);
    EXPECT_EQ(model.receivedReports()[3], std::vector<uint8_t>{});

    ASSERT_EQ(send(model, startRequestFor(file)).code, reply::kStarted);
    expectRejected(model, dataRequests(file)[0]);  // before the block is opened
    expectRejected(model, openRequest(2));         // another block than announced
    expectRejected(model, {command::kOpenBlock});  // no block number
    ASSERT_EQ(send(model, openRequest()).code, reply::kContinue);
    expectRejected(model, openRequest());             // opened twice
    expectRejected(model, dataRequests(file, 2)[0]);  // wrong block number
    expectRejected(model, {command::kData});          // no block number
    expectRejected(model, std::vector<uint8_t>(4096, 0x77));
    EXPECT_TRUE(model.image().empty());

    // The session survives the rejects.
    const auto chunks = dataRequests(file);
    for (size_t c = 0; c < chunks.size(); ++c) send(model, chunks[c]);
    EXPECT_TRUE(model.crcMatches());
    expectRejected(model, chunks.back());  // data beyond the announced length
    EXPECT_EQ(model.image(), file);
}

TEST(ModelFaults, ReplyChanges) {
    const auto file = makeFile(3000);
    KtrQ7Model model;
    Fault silent;
    silent.step = Step::report(0);
    silent.noReply = true;
    model.addFault(silent);
    Fault code;
    code.step = Step::ofCommand(command::kData, 0);
    code.replyCode = reply::kBlockDone;  // block-done on a chunk that is not the last
    model.addFault(code);
    Fault percent;
    percent.step = Step::chunk(1);
    percent.percent = 250;
    model.addFault(percent);
    Fault late;
    late.step = Step::ofCommand(command::kFinish, 1);
    late.delay = 1500ms;
    model.addFault(late);

    // The unanswered start is still taken in.
    EXPECT_TRUE(model.receive(startRequestFor(file)).empty());
    EXPECT_EQ(model.phase(), KtrQ7Model::Phase::Started);
    send(model, openRequest());
    const auto chunks = dataRequests(file);
    EXPECT_EQ(send(model, chunks[0]).code, reply::kBlockDone);
    const Reply second = send(model, chunks[1]);
    EXPECT_EQ(second.code, reply::kContinue);
    EXPECT_EQ(second.percent, 250);
    EXPECT_EQ(send(model, chunks[2]).code, reply::kBlockDone);
    EXPECT_TRUE(model.crcMatches());

    send(model, finishRequest());
    const auto delayed = model.receive(finishRequest());
    ASSERT_EQ(delayed.size(), 1u);
    EXPECT_EQ(delayed[0].kind, Action::Kind::Reply);
    EXPECT_EQ(delayed[0].delay, 1500ms);
    EXPECT_EQ(delayed[0].bytes[0], reply::kWriting);
    EXPECT_EQ(send(model, finishRequest()).code, reply::kWriting);

    model.clearFaults();
    EXPECT_EQ(send(model, finishRequest()).code, reply::kFinished);
}

TEST(ModelFaults, ReplySizes) {
    for (size_t size : {size_t{0}, size_t{1}, size_t{2}, size_t{2000}}) {
        KtrQ7Model model;
        Fault f;
        f.step = Step::report(0);
        f.replySize = size;
        model.addFault(f);
        const auto actions = model.receive(startRequest(1, 10, 0));
        ASSERT_EQ(actions.size(), 1u);
        ASSERT_EQ(actions[0].bytes.size(), size);
        if (size > 0) {
            EXPECT_EQ(actions[0].bytes[0], reply::kStarted);
        }
        if (size > 2) {
            EXPECT_EQ(actions[0].bytes[size - 1], 0);
        }
    }
}

TEST(ModelFaults, RemovalAndRearrival) {
    const auto file = makeFile(3000);
    {
        KtrQ7Model model;
        Fault gone;
        gone.step = Step::chunk(1);
        gone.removal = Fault::Removal::InsteadOfReply;
        gone.delay = 40ms;
        gone.rearriveAfter = 700ms;
        model.addFault(gone);
        send(model, startRequestFor(file));
        send(model, openRequest());
        send(model, dataRequests(file)[0]);
        const auto actions = model.receive(dataRequests(file)[1]);
        ASSERT_EQ(actions.size(), 2u);
        EXPECT_EQ(actions[0].kind, Action::Kind::Unplug);
        EXPECT_EQ(actions[0].delay, 40ms);
        EXPECT_EQ(actions[1].kind, Action::Kind::Replug);
        EXPECT_EQ(actions[1].delay, 700ms);
        // The unplugged device lost its session.
        EXPECT_EQ(model.phase(), KtrQ7Model::Phase::Idle);
        expectRejected(model, dataRequests(file)[2]);
        expectRejected(model, finishRequest());
        model.clearFaults();
        transfer(model, file);
        EXPECT_TRUE(model.crcMatches());
    }
    {
        KtrQ7Model model;
        Fault after;
        after.step = Step::ofCommand(command::kOpenBlock, 0);
        after.removal = Fault::Removal::AfterReply;
        after.delay = 25ms;
        model.addFault(after);
        send(model, startRequestFor(file));
        const auto actions = model.receive(openRequest());
        ASSERT_EQ(actions.size(), 2u);
        EXPECT_EQ(actions[0].kind, Action::Kind::Reply);
        EXPECT_EQ(actions[0].delay, 25ms);
        EXPECT_EQ(actions[0].bytes[0], reply::kContinue);
        EXPECT_EQ(actions[1].kind, Action::Kind::Unplug);
        EXPECT_EQ(actions[1].delay, 0ms);
    }
    {
        // Removal with no reply and no re-arrival.
        KtrQ7Model model;
        Fault both;
        both.step = Step::report(0);
        both.noReply = true;
        both.removal = Fault::Removal::AfterReply;
        model.addFault(both);
        const auto actions = model.receive(startRequestFor(file));
        ASSERT_EQ(actions.size(), 1u);
        EXPECT_EQ(actions[0].kind, Action::Kind::Unplug);
    }
}

TEST(ModelFaults, StepCounting) {
    const auto file = makeFile(1500);
    KtrQ7Model model;
    Fault byChunk;
    byChunk.step = Step::chunk(0);
    byChunk.replySize = 3;
    model.addFault(byChunk);
    Fault byCommand;
    byCommand.step = Step::ofCommand(command::kData, 1);
    byCommand.percent = 2;
    model.addFault(byCommand);
    Fault byReport;
    byReport.step = Step::report(6);
    byReport.replyCode = 0x12;
    model.addFault(byReport);
    Fault stacked;
    stacked.step = Step::report(6);
    stacked.percent = 3;
    model.addFault(stacked);
    Fault never;
    never.step = Step::ofCommand(0x99, 0);
    never.noReply = true;
    model.addFault(never);

    const auto chunks = dataRequests(file);
    send(model, startRequestFor(file));            // report 0
    send(model, openRequest());                    // 1
    EXPECT_EQ(send(model, chunks[0]).size, 3u);    // 2: chunk 0, data 0
    EXPECT_EQ(send(model, chunks[1]).percent, 2);  // 3: chunk 1, data 1
    // A new start resets the chunk count but not the command count.
    send(model, startRequestFor(file));      // 4
    send(model, openRequest());              // 5
    const Reply r = send(model, chunks[0]);  // 6: chunk 0 again, data 2
    EXPECT_EQ(r.code, 0x12);
    EXPECT_EQ(r.percent, 3);  // the later fault for the same step wins
    EXPECT_EQ(r.size, 3u);
    EXPECT_EQ(send(model, chunks[1]).code, reply::kBlockDone);
}

TEST(ModelThreads, ConcurrentReceiversAndReaders) {
    KtrQ7Model model;
    const auto file = makeFile(4000);
    const auto chunks = dataRequests(file);
    constexpr int kThreads = 4;
    constexpr int kPerThread = 300;
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
            for (int i = 0; i < kPerThread; ++i) {
                switch ((i + t) % 4) {
                    case 0:
                        model.receive(startRequestFor(file));
                        break;
                    case 1:
                        model.receive(openRequest());
                        break;
                    case 2:
                        model.receive(chunks[static_cast<size_t>(i) % chunks.size()]);
                        break;
                    default:
                        model.receive(finishRequest());
                        break;
                }
            }
        });
    }
    for (auto& s : senders) s.join();
    stop = true;
    reader.join();
    EXPECT_EQ(model.receivedCount(), size_t{kThreads * kPerThread});
    EXPECT_LE(model.image().size(), file.size());
}
