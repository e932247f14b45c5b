// Helpers shared by the test suites.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

namespace ktrtest {

// Runs the calling thread's run loop until the predicate holds or the time is up.
bool pumpUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout = std::chrono::seconds(5));
// Runs the calling thread's run loop for the given time.
void pumpFor(std::chrono::milliseconds duration);

// Captures what is written to a file descriptor while it lives.
class OutputCapture {
public:
    explicit OutputCapture(int fd);
    ~OutputCapture() { text(); }
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;
    std::string text();  // stops capturing and returns what was written

private:
    int m_fd;
    int m_savedFd = -1;
    std::FILE* m_file;
    std::string m_text;
};

struct StderrCapture : OutputCapture {
    StderrCapture() : OutputCapture(2) {}
};

struct StdoutCapture : OutputCapture {
    StdoutCapture() : OutputCapture(1) {}
};

}  // namespace ktrtest
