#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace vantor {

// How a second copy of the program finds the running one, brings its window forward and hands
// it the document it was asked to open: the running copy listens on a Unix-domain socket in the
// private runtime folder, reads each caller's request (a document's path, or nothing, on one
// line) and answers with the signal's number; a caller that gets that number back knows a copy
// runs, and the running copy raises its window and opens the document.
class InstanceSignal {
public:
    // The signal's number: the same for every process that asks by the same name.
    static std::uint32_t NumberOf(const std::string& name);
    static std::filesystem::path SocketPath(const std::string& name);

    // The running copy's end, or nothing when the socket cannot be made.
    static std::unique_ptr<InstanceSignal> Listen(const std::string& name);
    ~InstanceSignal();
    InstanceSignal(const InstanceSignal&) = delete;
    InstanceSignal& operator=(const InstanceSignal&) = delete;

    // The socket to watch for callers (readable when one waits).
    int fd() const { return m_fd; }
    // Answers every caller waiting now: what each asked, in order (a document's path, or empty
    // to come forward only).
    std::vector<std::string> AnswerCallers();

    // The second copy's side: asks the copy listening under name to come forward and open path
    // (absolute; empty: nothing to open), waiting at most timeout for the answer. True when it
    // answered with the signal's number.
    static bool SignalRunningCopy(
        const std::string& name, const std::string& path = {},
        std::chrono::milliseconds timeout = std::chrono::milliseconds(200));

    // The longest request taken: a path of PATH_MAX and its line feed.
    static constexpr std::size_t kLongestRequest = 4097;

private:
    InstanceSignal(int fd, std::filesystem::path path, std::uint32_t number)
        : m_fd(fd), m_path(std::move(path)), m_number(number) {}

    int m_fd;
    std::filesystem::path m_path;
    std::uint32_t m_number;
};

}  // namespace vantor
