// A KtrQ7Model on the in-process virtual HID bus: output reports sent to the
// virtual device feed the model, and the model's actions are carried out on
// the simulator's own thread, so a delayed reply never blocks the sender.
#pragma once

#include <ktrplatform/VirtualHidBus.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "ktrsim/KtrQ7Model.h"

namespace ktrsim {

// How the KTR-Q7 with this identity shows itself on a HID bus.
ktrplatform::VirtualDeviceInfo hidDeviceInfo(const DeviceIdentity& identity);

class SimulatedKtrQ7 {
public:
    explicit SimulatedKtrQ7(ModelConfig config = {}, bool plugInNow = true);
    // Unplugs the device and stops the thread; no handler or action runs afterwards.
    ~SimulatedKtrQ7();

    SimulatedKtrQ7(const SimulatedKtrQ7&) = delete;
    SimulatedKtrQ7& operator=(const SimulatedKtrQ7&) = delete;

    KtrQ7Model& model();
    const KtrQ7Model& model() const;
    std::shared_ptr<ktrplatform::VirtualDevice> device() const;

    // Each plug-in is a new arrival; does nothing while plugged in.
    void plugIn();
    // Leaves the bus now; pending replies and re-arrivals are dropped, as a real unplug would lose them.
    void unplug();
    // Unplugs (when plugged in) and plugs in again.
    void replug();
    bool isPluggedIn() const;

    // Until no report is being handled and no action is pending; false when the time ran out.
    bool waitForIdle(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    std::vector<std::vector<uint8_t>> receivedReports() const { return model().receivedReports(); }
    std::vector<uint8_t> image() const { return model().image(); }
    bool crcMatches() const { return model().crcMatches(); }

private:
    class Core;
    std::unique_ptr<Core> m_core;
};

}  // namespace ktrsim
