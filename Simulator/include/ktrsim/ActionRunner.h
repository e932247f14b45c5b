// Carries out a device's actions (replies, removals, re-arrivals) at their due
// times on a thread of its own, so that a delayed reply never blocks whoever
// sent the report it answers. Shared by the in-process and the standalone simulator.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "ktrsim/KtrQ7Model.h"

namespace ktrsim {

class ActionRunner {
public:
    using Execute = std::function<void(const Action&)>;

    // Starts the thread; execute runs on it, one action at a time.
    explicit ActionRunner(Execute execute);
    ~ActionRunner();

    ActionRunner(const ActionRunner&) = delete;
    ActionRunner& operator=(const ActionRunner&) = delete;

    // Runs decide on the calling thread and queues what it returns, each action
    // its delay after the one before, counted from now. The runner counts as
    // busy while decide runs, so waitForIdle cannot slip in before the queueing.
    void submit(const std::function<std::vector<Action>()>& decide);
    void schedule(std::vector<Action> actions);

    // Drops what is pending and waits out the action under way. Not from execute.
    void cancel();
    // Until nothing is being decided, pending or under way; false when the time ran out.
    bool waitForIdle(std::chrono::milliseconds timeout);
    // Cancels and ends the thread; nothing runs afterwards. Not from execute.
    void stop();

private:
    using Clock = std::chrono::steady_clock;
    using Key = std::pair<Clock::time_point, uint64_t>;

    void enqueueLocked(std::vector<Action>& actions);
    void run();

    Execute m_execute;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::map<Key, Action> m_queue;
    uint64_t m_sequence = 0;
    int m_busy = 0;  // decisions and actions under way
    bool m_executing = false;
    bool m_stopping = false;
    std::thread m_thread;
};

}  // namespace ktrsim
