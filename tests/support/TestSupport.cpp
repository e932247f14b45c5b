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

StderrCapture::StderrCapture() {
    std::fflush(stderr);
    char path[] = "/tmp/ktr-stderr-XXXXXX";
    m_tmpFd = mkstemp(path);
    if (m_tmpFd < 0) return;
    unlink(path);
    m_savedFd = dup(STDERR_FILENO);
    dup2(m_tmpFd, STDERR_FILENO);
}

StderrCapture::~StderrCapture() { text(); }

std::string StderrCapture::text() {
    if (m_done || m_tmpFd < 0) return m_text;
    m_done = true;
    std::fflush(stderr);
    dup2(m_savedFd, STDERR_FILENO);
    close(m_savedFd);
    lseek(m_tmpFd, 0, SEEK_SET);
    char buffer[4096];
    ssize_t n;
    while ((n = read(m_tmpFd, buffer, sizeof buffer)) > 0) m_text.append(buffer, static_cast<size_t>(n));
    close(m_tmpFd);
    return m_text;
}

}  // namespace ktrtest
