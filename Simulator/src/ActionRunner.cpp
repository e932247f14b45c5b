#include "ktrsim/ActionRunner.h"

namespace ktrsim {

ActionRunner::ActionRunner(Execute execute) : m_execute(std::move(execute)) {
    m_thread = std::thread([this] { run(); });
}

ActionRunner::~ActionRunner() { stop(); }

void ActionRunner::submit(const std::function<std::vector<Action>()>& decide) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_busy;
    }
    std::vector<Action> actions = decide();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        enqueueLocked(actions);
        --m_busy;
    }
    m_wake.notify_all();
    m_idle.notify_all();
}

void ActionRunner::schedule(std::vector<Action> actions) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        enqueueLocked(actions);
    }
    m_wake.notify_all();
}

void ActionRunner::enqueueLocked(std::vector<Action>& actions) {
    if (m_stopping) return;
    Clock::time_point due = Clock::now();
    for (Action& action : actions) {
        due += action.delay;
        m_queue.emplace(Key{due, m_sequence++}, std::move(action));
    }
}

void ActionRunner::cancel() {
    {
        // An action already under way (a re-arrival, say) must not land after the caller's next step.
        std::unique_lock<std::mutex> lock(m_mutex);
        m_queue.clear();
        m_idle.wait(lock, [this] { return !m_executing; });
    }
    m_idle.notify_all();
}

bool ActionRunner::waitForIdle(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_idle.wait_for(lock, timeout, [this] { return m_queue.empty() && m_busy == 0; });
}

void ActionRunner::stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.clear();
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) m_thread.join();
    m_idle.notify_all();
}

void ActionRunner::run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping) {
        if (m_queue.empty()) {
            m_wake.wait(lock);
            continue;
        }
        auto next = m_queue.begin();
        // A copy: the entry may be erased while this thread waits.
        const Clock::time_point due = next->first.first;
        if (Clock::now() < due) {
            m_wake.wait_until(lock, due);
            continue;
        }
        Action action = std::move(next->second);
        m_queue.erase(next);
        ++m_busy;
        m_executing = true;
        lock.unlock();
        m_execute(action);
        lock.lock();
        m_executing = false;
        --m_busy;
        m_idle.notify_all();
    }
}

}  // namespace ktrsim
