#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace vantor::test {

inline std::string ReadWholeFile(const std::filesystem::path& file) {
    std::ifstream input(file, std::ios::binary);
    std::ostringstream text;
    text << input.rdbuf();
    return text.str();
}

// A program the test starts, with its output going to files. Killed if still running when
// the object goes.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& arguments, const std::filesystem::path& output,
                 const std::filesystem::path& errors) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        std::vector<char*> argv;
        for (const std::string& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        if (posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            m_pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }

    ~ChildProcess() {
        if (m_pid > 0 && !m_status) {
            ::kill(m_pid, SIGKILL);
            Wait(std::chrono::seconds(10));
        }
    }

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }
    void Signal(int signal) {
        if (m_pid > 0 && !m_status) {
            ::kill(m_pid, signal);
        }
    }

    // The exit status (128 + the signal for a killed program), or nothing while it still runs
    // after timeout.
    std::optional<int> Wait(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!m_status && m_pid > 0) {
            int status = 0;
            const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
            if (done == m_pid) {
                m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return m_status;
    }

    // Stops the program (SIGSTOP) and waits until it is stopped: false when it ended first.
    bool StopNow() {
        if (m_pid <= 0 || m_status) {
            return false;
        }
        ::kill(m_pid, SIGSTOP);
        int status = 0;
        if (::waitpid(m_pid, &status, WUNTRACED) != m_pid) {
            return false;
        }
        if (WIFSTOPPED(status)) {
            return true;
        }
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }

private:
    pid_t m_pid = -1;
    std::optional<int> m_status;
};

}  // namespace vantor::test
