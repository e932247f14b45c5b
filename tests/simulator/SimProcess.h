// Runs ktrq7-sim as a child process and talks to it the way a test script would:
// commands on its standard input, status lines read from its standard output.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace simtest {

using namespace std::chrono_literals;

class SimProcess {
public:
    explicit SimProcess(std::vector<std::string> args) {
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        args.insert(args.begin(), KTRQ7_SIM_PATH);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, KTRQ7_SIM_PATH, &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        for (int fd : {in[0], out[1], err[1]}) ::close(fd);
        m_in = in[1];
        m_out = out[0];
        m_err = err[0];
    }
    ~SimProcess() {
        if (m_pid > 0 && !m_status) {
            ::kill(m_pid, SIGKILL);
            waitExit();
        }
        for (int fd : {m_in, m_out, m_err})
            if (fd >= 0) ::close(fd);
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool started() const { return m_pid > 0; }

    // Reads status lines until one equals the text (or starts with it, for a prefix);
    // false when the time ran out or the output ended first.
    bool waitForLine(const std::string& text, bool prefix = false) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        for (;;) {
            for (size_t end; (end = m_outText.find('\n')) != std::string::npos; m_outText.erase(0, end + 1)) {
                const std::string line = m_outText.substr(0, end);
                if (prefix ? line.rfind(text, 0) == 0 : line == text) {
                    m_outText.erase(0, end + 1);
                    return true;
                }
            }
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !readSome(m_out, m_outText, static_cast<int>(left.count()))) return false;
        }
    }

    bool command(const std::string& line) {
        const std::string text = line + "\n";
        return ::write(m_in, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
    void closeInput() {
        ::close(m_in);
        m_in = -1;
    }
    void signal(int sig) { ::kill(m_pid, sig); }

    // The exit status; null when it did not exit in time or was ended by a signal.
    std::optional<int> waitExit(std::chrono::milliseconds timeout = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!m_status && m_pid > 0) {
            int status = 0;
            const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
            if (r == m_pid) m_status = status;
            if (r == m_pid || r < 0 || std::chrono::steady_clock::now() >= deadline) break;
            std::this_thread::sleep_for(5ms);
        }
        if (!m_status || !WIFEXITED(*m_status)) return std::nullopt;
        return WEXITSTATUS(*m_status);
    }

    // What it wrote to standard error; complete once it has exited.
    std::string errorText() {
        while (readSome(m_err, m_errText, 0)) {
        }
        return m_errText;
    }

private:
    static bool readSome(int fd, std::string& into, int timeoutMs) {
        pollfd p{fd, POLLIN, 0};
        char buffer[4096];
        if (::poll(&p, 1, timeoutMs) <= 0) return false;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) into.append(buffer, static_cast<size_t>(n));
        return n > 0;
    }

    pid_t m_pid = -1;
    int m_in = -1, m_out = -1, m_err = -1;
    std::optional<int> m_status;
    std::string m_outText, m_errText;
};

}  // namespace simtest
