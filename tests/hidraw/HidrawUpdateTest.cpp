// A whole update through the hidraw source: the device controller on the message side,
// the requests sent from a worker thread, and the KTR-Q7's model behind a socket-pair node.
#include <gtest/gtest.h>
#include <ktrsim/KtrQ7Model.h>
#include <poll.h>
#include <sys/eventfd.h>

#include <atomic>
#include <condition_variable>
#include <thread>

#include "../simulator/Requests.h"
#include "FakeHidraw.h"
#include "HidCtrl.h"
#include "TestSupport.h"

using namespace hidrawtest;
using namespace std::chrono_literals;

namespace {

// The device: takes each report from the node, lets the model decide and writes its replies back.
class NodeKtrQ7 {
public:
    NodeKtrQ7(int node, ktrsim::ModelConfig config) : m_node(node), m_model(config), m_thread([this] { run(); }) {}
    ~NodeKtrQ7() {
        const uint64_t one = 1;
        if (::write(m_stop, &one, sizeof one) != sizeof one) ADD_FAILURE() << "eventfd";
        m_thread.join();
        ::close(m_stop);
    }
    NodeKtrQ7(const NodeKtrQ7&) = delete;
    NodeKtrQ7& operator=(const NodeKtrQ7&) = delete;

    ktrsim::KtrQ7Model& model() { return m_model; }
    // Reports that did not come as the report number 0 and 1024 bytes.
    int badReports() const { return m_bad; }

private:
    void run() {
        for (;;) {
            pollfd fds[2] = {{m_stop, POLLIN, 0}, {m_node, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) continue;
            if (fds[0].revents != 0 || (fds[1].revents & POLLHUP)) return;
            const auto message = receiveMessage(m_node, 0);
            if (!message) continue;
            if (message->size() != 1 + ktrsim::kRequestSize || (*message)[0] != 0) ++m_bad;
            if (message->empty()) continue;
            for (const ktrsim::Action& action : m_model.receive(message->data() + 1, message->size() - 1)) {
                std::this_thread::sleep_for(action.delay);
                if (action.kind == ktrsim::Action::Kind::Reply) sendMessage(m_node, action.bytes);
            }
        }
    }

    const int m_node;
    const int m_stop = ::eventfd(0, EFD_CLOEXEC);
    ktrsim::KtrQ7Model m_model;
    std::atomic<int> m_bad{0};
    std::thread m_thread;
};

// Owner of the controller, as the main component is: keeps each reply and wakes the worker.
struct ReplyOwner : HidHandler {
    HidCtrl* ctrl = nullptr;
    std::mutex mutex;
    std::condition_variable arrived;
    std::optional<Bytes> reply;
    std::atomic<int> arrivals{0};

    void removalCallBack() override {}
    void matchingCallBack() override { ++arrivals; }
    void inputCallBack() override {
        std::lock_guard<std::mutex> lock(mutex);
        reply.emplace(ctrl->getData(), ctrl->getData() + ctrl->getLength());
        arrived.notify_one();
    }
    // Worker side: one request, its answer.
    std::optional<Bytes> exchange(Bytes request) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            reply.reset();
        }
        if (!ctrl->setData(request.data(), static_cast<unsigned>(request.size()))) return std::nullopt;
        std::unique_lock<std::mutex> lock(mutex);
        if (!arrived.wait_for(lock, 10s, [&] { return reply.has_value(); })) return std::nullopt;
        return reply;
    }
};

// The transfer's request sequence; empty when it went through, else the step that failed.
std::string runUpdate(ReplyOwner& owner, const Bytes& file) {
    auto code = [](const std::optional<Bytes>& r) { return r && !r->empty() ? (*r)[0] : -1; };
    if (code(owner.exchange(simtest::startRequestFor(file))) != ktrsim::reply::kStarted) return "start";
    if (code(owner.exchange(simtest::openRequest())) != ktrsim::reply::kContinue) return "open";
    const auto chunks = simtest::dataRequests(file);
    for (size_t c = 0; c < chunks.size(); ++c) {
        const int expected = c + 1 == chunks.size() ? ktrsim::reply::kBlockDone : ktrsim::reply::kContinue;
        if (code(owner.exchange(chunks[c])) != expected) return "data " + std::to_string(c);
    }
    for (;;) {
        const int r = code(owner.exchange(simtest::finishRequest()));
        if (r == ktrsim::reply::kFinished) return "";
        if (r != ktrsim::reply::kWriting) return "finish";
    }
}

class HidrawUpdate : public ::testing::Test, protected FakeMachine {
protected:
    void SetUp() override { owner.ctrl = &ctrl; }
    void TearDown() override {
        ctrl.finalize();
        ktrtest::pumpFor(10ms);
        ktr.reset();
        source.reset();
    }

    // The device and the source over it, with the controller started on them.
    void startDevice(const FakeDevice& device = {}, ktrsim::ModelConfig config = {}) {
        sysfs.add(device);
        ktr = std::make_unique<NodeKtrQ7>(nodes.make(device.name), config);
        start();
        ASSERT_TRUE(ctrl.initialize(&owner, 1));
    }

    // Runs the update on a worker while this thread delivers the callbacks.
    std::string update(const Bytes& file) {
        std::string failure = "not finished";
        std::atomic<bool> done{false};
        std::thread worker([&] {
            failure = runUpdate(owner, file);
            done = true;
        });
        const bool finished = ktrtest::pumpUntil([&] { return done.load(); }, 120s);
        worker.join();
        return finished ? failure : "timed out";
    }

    std::unique_ptr<NodeKtrQ7> ktr;
    ReplyOwner owner;
    HidCtrl ctrl;
};

}  // namespace

TEST_F(HidrawUpdate, WholeUpdatesReachTheDeviceExactly) {
    startDevice();
    EXPECT_EQ(ctrl.getState(), 1u) << "the device present at start is found";
    EXPECT_EQ(ctrl.getVersion(), 105u) << "from bcdDevice";
    EXPECT_EQ(owner.arrivals, 0);
    for (size_t size : {37u, 1022u, 1023u, 74565u}) {
        const Bytes file = simtest::makeFile(size, static_cast<uint32_t>(size));
        EXPECT_EQ(update(file), "") << size;
        EXPECT_EQ(ktr->model().image(), file) << size;
        EXPECT_TRUE(ktr->model().crcMatches()) << size;
    }
    EXPECT_EQ(ktr->badReports(), 0);
}

TEST_F(HidrawUpdate, ShortInputReportsCarryTheRepliesToo) {
    FakeDevice device;
    device.descriptor = ktrDescriptor(64, 1024);
    ktrsim::ModelConfig config;
    config.inputReportSize = 64;
    startDevice(device, config);
    EXPECT_EQ(update(simtest::makeFile(5000)), "");
    EXPECT_TRUE(ktr->model().crcMatches());
    EXPECT_EQ(ktr->badReports(), 0);
}
