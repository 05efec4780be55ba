#include "system/SystemHelper.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ext/stdio_filebuf.h>
#include <istream>
#include <mutex>
#include <sstream>
#include <thread>

#include "capture/RecordStreamReader.h"
#include "platform/BlockingCallQueue.h"

extern char** environ;

namespace vantor {

// What the reader thread and the window share; the thread may outlive this object's owner.
struct SystemHelperSource::Shared {
    std::mutex lock;
    bool stopped = false;
    bool inCall = false;  // the thread waits for the window to take a record
    bool running = false;
    int input = -1;  // the helper's standard input, ours to close
    pid_t pid = -1;
};

namespace {

std::optional<std::string> Find(const std::string& name) {
    std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    path += ":/usr/bin:/bin:/usr/sbin:/sbin";
    std::istringstream folders(path);
    for (std::string folder; std::getline(folders, folder, ':');) {
        const std::string file = (folder.empty() ? std::string(".") : folder) + "/" + name;
        if (!folder.empty() && ::access(file.c_str(), X_OK) == 0) {
            return file;
        }
    }
    return std::nullopt;
}

// Everything the helper wrote on its standard error, for the user when it fails.
std::string ReadAll(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0 || text.size() > 65536) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

}  // namespace

SystemHelperSource::SystemHelperSource(BlockingCallQueue& window, RecordHandler onRecord,
                                       EndHandler onEnd)
    : m_window(window), m_onRecord(std::move(onRecord)), m_onEnd(std::move(onEnd)) {}

SystemHelperSource::~SystemHelperSource() {
    Stop();
}

std::optional<std::vector<std::string>> SystemHelperSource::Command(const std::string& helper,
                                                                    pid_t exclude) {
    std::vector<std::string> command;
    if (::geteuid() != 0) {
        if (const auto pkexec = Find("pkexec")) {
            command.push_back(*pkexec);
        } else if (const auto sudo = Find("sudo")) {
            command = {*sudo, "--non-interactive"};
        } else {
            return std::nullopt;
        }
    }
    command.insert(command.end(), {helper, "--exclude", std::to_string(exclude)});
    return command;
}

std::optional<std::string> SystemHelperSource::Start(const std::vector<std::string>& command) {
    Stop();
    int input[2] = {-1, -1};
    int output[2] = {-1, -1};
    int errors[2] = {-1, -1};
    if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0 ||
        ::pipe2(errors, O_CLOEXEC) != 0) {
        const std::string why = std::strerror(errno);
        for (const int fd : {input[0], input[1], output[0], output[1], errors[0], errors[1]}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        return "Cannot start " + command.front() + ": " + why;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errors[1], STDERR_FILENO);
    std::vector<char*> argv;
    for (const std::string& argument : command) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int failed = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    ::close(output[1]);
    ::close(errors[1]);
    if (failed != 0) {
        ::close(input[1]);
        ::close(output[0]);
        ::close(errors[0]);
        return "Cannot start " + command.front() + ": " + std::strerror(failed);
    }
    auto shared = std::make_shared<Shared>();
    shared->input = input[1];
    shared->pid = pid;
    shared->running = true;
    m_shared = shared;
    const int records = output[0];
    const int said = errors[0];
    std::thread([shared, records, said, this] {
        __gnu_cxx::stdio_filebuf<char> buffer(records, std::ios::in | std::ios::binary, 64 * 1024);
        std::istream stream(&buffer);
        RecordStreamReader reader(stream);
        bool stopped = false;
        while (reader.Next() == RecordStreamReader::Status::Record) {
            {
                const std::lock_guard hold(shared->lock);
                if (shared->stopped) {
                    stopped = true;
                    continue;  // read on until the helper ends, handing nothing over
                }
                shared->inCall = true;
            }
            m_window.Call([&] {
                if (!shared->stopped) {
                    m_onRecord(reader.header(), reader.data());
                }
            });
            const std::lock_guard hold(shared->lock);
            shared->inCall = false;
        }
        std::string why = reader.error();
        const std::string helperSaid = ReadAll(said);
        ::close(said);
        int status = 0;
        while (::waitpid(shared->pid, &status, 0) < 0 && errno == EINTR) {
        }
        {
            const std::lock_guard hold(shared->lock);
            shared->running = false;
            stopped = stopped || shared->stopped;
            if (stopped) {
                return;
            }
            shared->inCall = true;
        }
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && why.empty()) {
            why = "the capture of every program ended";
        } else if (!helperSaid.empty()) {
            why = helperSaid.substr(0, helperSaid.find_last_not_of('\n') + 1);
        } else if (why.empty()) {
            why = "the capture of every program ended (status " + std::to_string(status) + ")";
        }
        m_window.Call([&] {
            if (!shared->stopped) {
                m_onEnd(why);
            }
        });
        const std::lock_guard hold(shared->lock);
        shared->inCall = false;
    }).detach();
    return std::nullopt;
}

void SystemHelperSource::Stop() {
    const std::shared_ptr<Shared> shared = std::move(m_shared);
    if (shared == nullptr) {
        return;
    }
    {
        const std::lock_guard hold(shared->lock);
        shared->stopped = true;
        if (shared->input >= 0) {
            ::close(shared->input);  // the helper ends when its input does
            shared->input = -1;
        }
    }
    // A record the thread is handing over now is taken (and dropped) here; after that it hands
    // nothing more to the window, and ends by itself when the helper does.
    for (;;) {
        {
            const std::lock_guard hold(shared->lock);
            if (!shared->inCall) {
                break;
            }
        }
        m_window.RunPending(std::chrono::milliseconds(5));
    }
}

bool SystemHelperSource::Running() const {
    if (m_shared == nullptr) {
        return false;
    }
    const std::lock_guard hold(m_shared->lock);
    return m_shared->running;
}

}  // namespace vantor
