#include <ktrplatform/RunLoopHook.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>

#include "RunLoop.h"

__CFRunLoop::__CFRunLoop() : ktrcf::Object(ktrcf::kTypeIDRunLoop) { wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }

__CFRunLoop::~__CFRunLoop() {
    if (wakeFd >= 0) close(wakeFd);
}

void __CFRunLoop::wake() {
    const uint64_t one = 1;
    // A full counter already means "wake"; nothing is lost when the write fails.
    ssize_t ignored = write(wakeFd, &one, sizeof one);
    (void)ignored;
}

void __CFRunLoop::post(std::function<void()> work) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        queue.push_back(std::move(work));
    }
    wake();
}

size_t __CFRunLoop::performPending() {
    uint64_t count = 0;
    ssize_t ignored = read(wakeFd, &count, sizeof count);
    (void)ignored;
    std::deque<std::function<void()>> batch;
    {
        std::lock_guard<std::mutex> lock(mutex);
        batch.swap(queue);
    }
    size_t ran = 0;
    while (!batch.empty()) {
        auto work = std::move(batch.front());
        batch.pop_front();
        work();
        ++ran;
        // Work posted by this work waits for the next pass, so a stop can get in between.
    }
    return ran;
}

void __CFRunLoop::waitForWork(double seconds) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!queue.empty() || stopRequested) return;
    }
    pollfd pfd{wakeFd, POLLIN, 0};
    int timeoutMs = -1;
    if (seconds < 1e9) timeoutMs = static_cast<int>(std::ceil(std::max(0.0, seconds) * 1000.0));
    int r;
    do {
        r = poll(&pfd, 1, timeoutMs);
    } while (r < 0 && errno == EINTR);
}

namespace {

bool isMainThread() { return static_cast<pid_t>(syscall(SYS_gettid)) == getpid(); }

__CFRunLoop* mainRunLoop() {
    // Lives for the whole process: callbacks may be posted to it until exit.
    static __CFRunLoop* loop = [] {
        auto* l = new __CFRunLoop();
        l->makeImmortal();
        return l;
    }();
    return loop;
}

struct ThreadRunLoop {
    __CFRunLoop* loop = nullptr;
    ~ThreadRunLoop() {
        if (loop) loop->release();
    }
};

thread_local ThreadRunLoop tlsRunLoop;

}  // namespace

namespace ktrcf {
void postToRunLoop(CFRunLoopRef runLoop, std::function<void()> work) {
    if (runLoop) runLoop->post(std::move(work));
}
}  // namespace ktrcf

extern "C" {

const CFRunLoopMode kCFRunLoopDefaultMode = CFSTR("kCFRunLoopDefaultMode");
const CFRunLoopMode kCFRunLoopCommonModes = CFSTR("kCFRunLoopCommonModes");

CFTypeID CFRunLoopGetTypeID(void) { return ktrcf::kTypeIDRunLoop; }

CFRunLoopRef CFRunLoopGetMain(void) { return mainRunLoop(); }

CFRunLoopRef CFRunLoopGetCurrent(void) {
    if (isMainThread()) return mainRunLoop();
    if (!tlsRunLoop.loop) tlsRunLoop.loop = new __CFRunLoop();
    return tlsRunLoop.loop;
}

SInt32 CFRunLoopRunInMode(CFRunLoopMode, CFTimeInterval seconds, Boolean returnAfterSourceHandled) {
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    const auto start = std::chrono::steady_clock::now();
    const bool forever = !(seconds < 1e9);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(loop->mutex);
            if (loop->stopRequested) {
                loop->stopRequested = false;
                return kCFRunLoopRunStopped;
            }
        }
        const size_t ran = loop->performPending();
        if (ran > 0 && returnAfterSourceHandled) return kCFRunLoopRunHandledSource;
        double left = 1e10;
        if (!forever) {
            const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
            left = seconds - elapsed.count();
            if (left <= 0) return kCFRunLoopRunTimedOut;
        }
        loop->waitForWork(left);
    }
}

void CFRunLoopRun(void) {
    while (CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1e10, false) != kCFRunLoopRunStopped) {
    }
}

void CFRunLoopStop(CFRunLoopRef rl) {
    if (!rl) return;
    {
        std::lock_guard<std::mutex> lock(rl->mutex);
        rl->stopRequested = true;
    }
    rl->wake();
}

void CFRunLoopWakeUp(CFRunLoopRef rl) {
    if (rl) rl->wake();
}

CFAbsoluteTime CFAbsoluteTimeGetCurrent(void) {
    // Seconds since 2001-01-01 00:00:00 UTC.
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9 - 978307200.0;
}

int KTRRunLoopGetWakeDescriptor(CFRunLoopRef runLoop) { return runLoop ? runLoop->wakeFd : -1; }

void KTRRunLoopPerformPending(CFRunLoopRef runLoop) {
    if (runLoop) runLoop->performPending();
}

}  // extern "C"
