#include "ktrsim/SimulatedKtrQ7.h"

#include "ktrsim/ActionRunner.h"

#include <condition_variable>
#include <mutex>
#include <utility>

namespace ktrsim {

// Lets shutdown wait out handler calls already under way and turn away later
// ones; the handler holds only this, never the core, so it cannot prolong the
// device's life from inside the device's own call.
struct HandlerGate {
    std::mutex mutex;
    std::condition_variable done;
    bool closed = false;
    int inFlight = 0;
};

ktrplatform::VirtualDeviceInfo hidDeviceInfo(const DeviceIdentity& identity) {
    ktrplatform::VirtualDeviceInfo info;
    info.vendorID = identity.vendorID;
    info.productID = identity.productID;
    info.versionNumber = identity.releaseNumber;
    info.locationID = identity.locationID;
    info.primaryUsagePage = 0xFF00;
    info.primaryUsage = 1;
    info.manufacturer = "KTR";
    info.product = "KTR-Q7";
    info.maxInputReportSize = 1024;
    info.maxOutputReportSize = 1024;
    return info;
}

class SimulatedKtrQ7::Core {
public:
    explicit Core(ModelConfig config) : m_model(config), m_runner([this](const Action& action) { execute(action); }) {}

    void start() {
        m_device = ktrplatform::VirtualDevice::create(hidDeviceInfo(m_model.config().identity));
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
    }

    void shutdown() {
        {
            std::unique_lock<std::mutex> lock(m_gate->mutex);
            m_gate->closed = true;
            m_gate->done.wait(lock, [this] { return m_gate->inFlight == 0; });
        }
        m_runner.stop();
        m_device->setOutputHandler(nullptr);
        if (m_device->isAttached()) m_device->detach();
    }

    void unplug() {
        m_runner.cancel();
        m_model.endSession();
        if (m_device->isAttached()) m_device->detach();
    }

    void plugIn() {
        if (!m_device->isAttached()) m_device->attach();
    }

    bool waitForIdle(std::chrono::milliseconds timeout) { return m_runner.waitForIdle(timeout); }

    KtrQ7Model& model() { return m_model; }
    const std::shared_ptr<ktrplatform::VirtualDevice>& device() const { return m_device; }

private:
    void onOutput(const ktrplatform::RecordedReport& report) {
        if (report.type != kIOHIDReportTypeOutput) return;
        m_runner.submit([&] { return m_model.receive(report.bytes); });
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
    ActionRunner m_runner;  // last: its thread stops before the members it uses go
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
