#include "TestSupport.h"

#include <ktrplatform/SystemDevices.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {
// Tests run on the virtual bus and the simulator: the machine's own HID devices stay out.
[[maybe_unused]] const bool gSystemDevicesOff = (ktrplatform::setSystemDevicesEnabled(false), true);
}  // namespace

namespace ktrtest {

bool pumpUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.01, true);
    }
    return true;
}

void pumpFor(std::chrono::milliseconds duration) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < deadline) CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.005, false);
}

OutputCapture::OutputCapture(int fd) : m_fd(fd) {
    // Every stream is flushed: what was written before belongs to no capture.
    std::fflush(nullptr);
    char path[] = "/tmp/ktr-capture-XXXXXX";
    m_tmpFd = mkstemp(path);
    if (m_tmpFd < 0) return;
    unlink(path);
    m_savedFd = dup(m_fd);
    dup2(m_tmpFd, m_fd);
}

OutputCapture::~OutputCapture() { text(); }

std::string OutputCapture::text() {
    if (m_done || m_tmpFd < 0) return m_text;
    m_done = true;
    // Writers may have left their text in a stream's buffer.
    std::fflush(nullptr);
    dup2(m_savedFd, m_fd);
    close(m_savedFd);
    lseek(m_tmpFd, 0, SEEK_SET);
    char buffer[4096];
    ssize_t n;
    while ((n = read(m_tmpFd, buffer, sizeof buffer)) > 0) m_text.append(buffer, static_cast<size_t>(n));
    close(m_tmpFd);
    return m_text;
}

}  // namespace ktrtest
