#include "ktrsim/SimulatedKtrQ7.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace ktrsim {

using Clock = std::chrono::steady_clock;

// Lets shutdown wait out handler calls already under way and turn away later
// ones; the handler holds only this, never the core, so it cannot prolong the
// device's life from inside the device's own call.
struct HandlerGate {
    std::mutex mutex;
    std::condition_variable done;
    bool closed = false;
    int inFlight = 0;
};

class SimulatedKtrQ7::Core {
public:
    explicit Core(ModelConfig config) : m_model(config) {}

    void start() {
        ktrplatform::VirtualDeviceInfo info;
        const DeviceIdentity& id = m_model.config().identity;
        info.vendorID = id.vendorID;
        info.productID = id.productID;
        info.versionNumber = id.releaseNumber;
        info.locationID = id.locationID;
        info.primaryUsagePage = 0xFF00;
        info.primaryUsage = 1;
        info.manufacturer = "KTR";
        info.product = "KTR-Q7";
        info.maxInputReportSize = 1024;
        info.maxOutputReportSize = 1024;
        m_device = ktrplatform::VirtualDevice::create(info);

        m_device->setOutputHandler([gate = m_gate, this](const ktrplatform::RecordedReport& report) {
            {
                std::lock_guard<std::mutex> lock(gate->mutex);
                if (gate->closed) return;
                ++gate->inFlight;
            }
            onOutput(report);
            {
                std::lock_guard<std::mutex> lock(gate->mutex);
                --gate->inFlight;
            }
            gate->done.notify_all();
        });
        m_thread = std::thread([this] { run(); });
    }

    void shutdown() {
        {
            std::unique_lock<std::mutex> lock(m_gate->mutex);
            m_gate->closed = true;
            m_gate->done.wait(lock, [this] { return m_gate->inFlight == 0; });
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_queue.clear();
            m_stopping = true;
        }
        m_wake.notify_all();
        if (m_thread.joinable()) m_thread.join();
        m_device->setOutputHandler(nullptr);
        if (m_device->isAttached()) m_device->detach();
    }

    void unplug() {
        {
            // An action already under way (a re-arrival, say) must not land after the unplug.
            std::unique_lock<std::mutex> lock(m_mutex);
            m_queue.clear();
            m_idle.wait(lock, [this] { return !m_executing; });
        }
        m_model.endSession();
        if (m_device->isAttached()) m_device->detach();
        m_idle.notify_all();
    }

    void plugIn() {
        if (!m_device->isAttached()) m_device->attach();
    }

    bool waitForIdle(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_idle.wait_for(lock, timeout, [this] { return m_queue.empty() && m_busy == 0; });
    }

    KtrQ7Model& model() { return m_model; }
    const std::shared_ptr<ktrplatform::VirtualDevice>& device() const { return m_device; }

private:
    using Key = std::pair<Clock::time_point, uint64_t>;

    void onOutput(const ktrplatform::RecordedReport& report) {
        if (report.type != kIOHIDReportTypeOutput) return;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_busy;
        }
        std::vector<Action> actions = m_model.receive(report.bytes);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            Clock::time_point due = Clock::now();
            for (Action& action : actions) {
                due += action.delay;
                m_queue.emplace(Key{due, m_sequence++}, std::move(action));
            }
            --m_busy;
        }
        m_wake.notify_all();
        m_idle.notify_all();
    }

    void run() {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_stopping) {
            if (m_queue.empty()) {
                m_wake.wait(lock);
                continue;
            }
            auto next = m_queue.begin();
            // A copy: the entry may be erased while this thread waits.
            const Clock::time_point due = next->first.first;
            if (Clock::now() < due) {
                m_wake.wait_until(lock, due);
                continue;
            }
            Action action = std::move(next->second);
            m_queue.erase(next);
            ++m_busy;
            m_executing = true;
            lock.unlock();
            execute(action);
            lock.lock();
            m_executing = false;
            --m_busy;
            m_idle.notify_all();
        }
    }

    void execute(const Action& action) {
        switch (action.kind) {
            case Action::Kind::Reply:
                if (m_device->isAttached()) m_device->sendInput(action.bytes);
                break;
            case Action::Kind::Unplug:
                if (m_device->isAttached()) m_device->detach();
                break;
            case Action::Kind::Replug:
                if (!m_device->isAttached()) m_device->attach();
                break;
        }
    }

    KtrQ7Model m_model;
    std::shared_ptr<HandlerGate> m_gate = std::make_shared<HandlerGate>();
    std::shared_ptr<ktrplatform::VirtualDevice> m_device;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::map<Key, Action> m_queue;
    uint64_t m_sequence = 0;
    int m_busy = 0;  // handler calls and actions under way
    bool m_executing = false;
    bool m_stopping = false;
    std::thread m_thread;
};

SimulatedKtrQ7::SimulatedKtrQ7(ModelConfig config, bool plugInNow) : m_core(std::make_unique<Core>(config)) {
    m_core->start();
    if (plugInNow) m_core->plugIn();
}

SimulatedKtrQ7::~SimulatedKtrQ7() { m_core->shutdown(); }

KtrQ7Model& SimulatedKtrQ7::model() { return m_core->model(); }
const KtrQ7Model& SimulatedKtrQ7::model() const { return m_core->model(); }
std::shared_ptr<ktrplatform::VirtualDevice> SimulatedKtrQ7::device() const { return m_core->device(); }

void SimulatedKtrQ7::plugIn() { m_core->plugIn(); }
void SimulatedKtrQ7::unplug() { m_core->unplug(); }

void SimulatedKtrQ7::replug() {
    m_core->unplug();
    m_core->plugIn();
}

bool SimulatedKtrQ7::isPluggedIn() const { return m_core->device()->isAttached(); }

bool SimulatedKtrQ7::waitForIdle(std::chrono::milliseconds timeout) { return m_core->waitForIdle(timeout); }

}  // namespace ktrsim
