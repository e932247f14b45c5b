#include "TestSupport.h"

#include <ktrplatform/SystemDevices.h>
#include <unistd.h>

#include <utility>

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

OutputCapture::OutputCapture(int fd) : m_fd(fd), m_file(std::tmpfile()) {
    // Every stream is flushed: what was written before belongs to no capture.
    std::fflush(nullptr);
    if (!m_file) return;
    m_savedFd = dup(fd);
    dup2(fileno(m_file), fd);
}

std::string OutputCapture::text() {
    if (!m_file) return m_text;
    // Writers may have left their text in a stream's buffer.
    std::fflush(nullptr);
    dup2(m_savedFd, m_fd);
    close(m_savedFd);
    std::rewind(m_file);
    for (int c; (c = std::fgetc(m_file)) != EOF;) m_text += static_cast<char>(c);
    std::fclose(std::exchange(m_file, nullptr));
    return m_text;
}

}  // namespace ktrtest
