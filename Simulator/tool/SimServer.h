// One simulated KTR-Q7 served on a Unix socket to one platform at a time.
#pragma once

#include <ktrplatform/SimWire.h>
#include <ktrsim/ActionRunner.h>
#include <ktrsim/KtrQ7Model.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "ToolOptions.h"

namespace ktrsimtool {

// Owns a descriptor and closes it.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : m_fd(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    int release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset(int fd = -1);

private:
    int m_fd = -1;
};

class SimServer {
public:
    explicit SimServer(const ToolOptions& options);
    ~SimServer();

    // Listens, serves until asked to quit, and returns the exit status.
    int run();

    // For the signal handler: makes run return soon. Async-signal-safe.
    static void requestQuit();

private:
    bool setUp();
    void serveLoop();
    void acceptClient();
    void dropClient();
    void readClient();
    void readCommands();
    void command(const std::string& line);
    void onFrame(const ktrplatform::simwire::Frame& frame);
    void onSetReport(const ktrplatform::simwire::Report& report);

    // Called with m_mutex held.
    void setPresentLocked(bool present);
    bool sendLocked(ktrplatform::simwire::Type type, const std::vector<uint8_t>& payload);
    void execute(const ktrsim::Action& action);
    void recordReport(const std::vector<uint8_t>& bytes);
    void finished();
    void writeImage();
    void say(const std::string& line);

    const ToolOptions m_options;
    ktrsim::KtrQ7Model m_model;

    Fd m_listen;
    bool m_bound = false;
    bool m_stdinOpen = true;
    std::string m_commandLine;
    ktrplatform::simwire::FrameDecoder m_decoder;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> m_reports{nullptr, &std::fclose};

    // Guards the client's descriptor and the device's presence; the runner and the loop both send.
    std::mutex m_mutex;
    Fd m_client;
    bool m_present = false;
    std::mutex m_sayMutex;
    std::mutex m_imageMutex;

    std::unique_ptr<ktrsim::ActionRunner> m_runner;  // last: stops before the rest goes
};

}  // namespace ktrsimtool
