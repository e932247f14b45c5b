#include "HidrawSystem.h"

#include <fcntl.h>
#include <ktrplatform/HidrawSource.h>
#include <ktrplatform/SystemDevices.h>
#include <libudev.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace ktrplatform {

namespace {
std::atomic<bool> gSystemDevices{true};
}  // namespace

void setSystemDevicesEnabled(bool enabled) { gSystemDevices = enabled; }
bool systemDevicesEnabled() { return gSystemDevices; }

namespace hidraw {

namespace {

// More than this in one go waits for the next turn, so a flood cannot hold up the reports.
constexpr int kEventsPerTurn = 64;

class UdevMonitor : public Monitor {
public:
    UdevMonitor(udev* context, udev_monitor* monitor) : m_udev(context), m_monitor(monitor) {}
    ~UdevMonitor() override {
        udev_monitor_unref(m_monitor);
        udev_unref(m_udev);
    }
    UdevMonitor(const UdevMonitor&) = delete;
    UdevMonitor& operator=(const UdevMonitor&) = delete;

    int fd() const override { return udev_monitor_get_fd(m_monitor); }

    bool receive(std::vector<Event>& events) override {
        for (int i = 0; i < kEventsPerTurn; ++i) {
            udev_device* device = udev_monitor_receive_device(m_monitor);
            if (device == nullptr) break;
            const char* action = udev_device_get_action(device);
            const char* name = udev_device_get_sysname(device);
            if (action != nullptr && name != nullptr) {
                if (std::strcmp(action, "add") == 0)
                    events.push_back({Event::Action::Add, name});
                else if (std::strcmp(action, "remove") == 0)
                    events.push_back({Event::Action::Remove, name});
            }
            udev_device_unref(device);
        }
        return true;
    }

private:
    udev* m_udev;
    udev_monitor* m_monitor;
};

}  // namespace

std::unique_ptr<Monitor> udevMonitor() {
    udev* context = udev_new();
    if (context == nullptr) return nullptr;
    udev_monitor* monitor = udev_monitor_new_from_netlink(context, "udev");
    if (monitor == nullptr || udev_monitor_filter_add_match_subsystem_devtype(monitor, "hidraw", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor) < 0) {
        if (monitor != nullptr) udev_monitor_unref(monitor);
        udev_unref(context);
        return nullptr;
    }
    // The I/O thread polls before it reads; a read must never wait.
    const int fd = udev_monitor_get_fd(monitor);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    return std::make_unique<UdevMonitor>(context, monitor);
}

}  // namespace hidraw

namespace detail {

void startHidrawSource() {
    static std::mutex mutex;
    static hidraw::Source* source = nullptr;
    std::lock_guard<std::mutex> lock(mutex);
    if (source != nullptr || !systemDevicesEnabled()) return;
    const char* simulator = std::getenv("KTRQ7_SIM_SOCKET");
    if (simulator != nullptr && *simulator != '\0') return;
    hidraw::SourceOptions options;
    options.monitor = hidraw::udevMonitor();
    // Lives as long as the process, like the registry it feeds.
    source = new hidraw::Source(std::move(options));
}

}  // namespace detail
}  // namespace ktrplatform
