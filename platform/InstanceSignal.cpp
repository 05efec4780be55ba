#include "platform/InstanceSignal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/XdgPaths.h"

namespace vantor {

namespace {

bool FillAddress(const std::filesystem::path& path, sockaddr_un& address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    const std::string& text = path.native();
    if (text.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    return true;
}

std::string NumberText(std::uint32_t number) {
    return std::to_string(number) + "\n";
}

// Waits at most until deadline for fd to be readable; false on time-out or failure.
bool WaitReadable(int fd, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd wait{fd, POLLIN, 0};
        const int ready = ::poll(&wait, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        return ready > 0;
    }
}

// A caller's line, sent as it connected: what it asks the running copy to open. Empty when it
// sends nothing in time, a line too long, or bytes that are no path.
std::string ReadRequest(int caller) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    std::string line;
    char buffer[512];
    while (line.find('\n') == std::string::npos && line.size() <= InstanceSignal::kLongestRequest &&
           WaitReadable(caller, deadline)) {
        const ssize_t got = ::recv(caller, buffer, sizeof buffer, 0);
        if (got <= 0) {
            break;
        }
        line.append(buffer, static_cast<std::size_t>(got));
    }
    const std::size_t end = line.find('\n');
    if (end == std::string::npos || line.find('\0') < end) {
        return {};
    }
    line.resize(end);
    return line.starts_with('/') ? line : std::string();
}

}  // namespace

std::uint32_t InstanceSignal::NumberOf(const std::string& name) {
    // Registered window messages live in 0xC000-0xFFFF; keep to that range.
    std::uint32_t hash = 2166136261U;
    for (const char c : name) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 16777619U;
    }
    return 0xC000U | (hash & 0x3FFFU);
}

std::filesystem::path InstanceSignal::SocketPath(const std::string& name) {
    return PrivateRuntimeFolder() / (name + ".socket");
}

std::unique_ptr<InstanceSignal> InstanceSignal::Listen(const std::string& name) {
    const std::filesystem::path path = SocketPath(name);
    if (!MakePrivateFolder(path.parent_path())) {
        return nullptr;
    }
    sockaddr_un address{};
    if (!FillAddress(path, address)) {
        return nullptr;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return nullptr;
    }
    // Only the holder of the instance lock listens, so a socket file left here is stale.
    ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 8) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<InstanceSignal>(new InstanceSignal(fd, path, NumberOf(name)));
}

InstanceSignal::~InstanceSignal() {
    ::close(m_fd);
    ::unlink(m_path.c_str());
}

std::vector<std::string> InstanceSignal::AnswerCallers() {
    std::vector<std::string> requests;
    const std::string answer = NumberText(m_number);
    for (;;) {
        const int caller = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (caller < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        std::string request = ReadRequest(caller);
        // A fresh socket's buffer always takes these few bytes; a caller that went away
        // meanwhile just misses its answer.
        [[maybe_unused]] const ssize_t written =
            ::send(caller, answer.data(), answer.size(), MSG_NOSIGNAL);
        ::close(caller);
        requests.push_back(std::move(request));
    }
    return requests;
}

bool InstanceSignal::SignalRunningCopy(const std::string& name, const std::string& path,
                                       std::chrono::milliseconds timeout) {
    sockaddr_un address{};
    if (!FillAddress(SocketPath(name), address)) {
        return false;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    bool answered = false;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        // A path that cannot travel on one line is not asked for.
        const std::string request =
            (path.find('\n') == std::string::npos ? path : std::string()) + "\n";
        [[maybe_unused]] const ssize_t sent =
            ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::string received;
        char buffer[32];
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                break;
            }
            pollfd wait{fd, POLLIN, 0};
            const int ready = ::poll(&wait, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready <= 0) {
                break;
            }
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0) {
                break;
            }
            received.append(buffer, static_cast<std::size_t>(got));
            if (received.size() > 16) {
                break;
            }
        }
        answered = received == NumberText(NumberOf(name));
    }
    ::close(fd);
    return answered;
}

}  // namespace vantor
