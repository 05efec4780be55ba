// Loopback HTTP traffic for measuring the capture path with real sockets. Plain libc socket
// calls, so that the capture provider sees them when preloaded. Run by bench/run-capture-bench.
//
//   loopback_http server PORT_FILE        serve on 127.0.0.1 (port written to PORT_FILE)
//   loopback_http small PORT COUNT        COUNT small requests on one keep-alive connection
//   loopback_http download PORT BYTES     one response of BYTES, read 64 KiB at a time
//   loopback_http files PORT COUNT BYTES  COUNT responses of BYTES on one keep-alive connection
//   loopback_http upload PORT COUNT SIZE  one request whose body goes out in COUNT writes of
//                                         SIZE bytes (each write one record when captured)
//   loopback_http pingpong COUNT          two processes passing a futex word back and forth
//
// The clients print one line: the operations per second and megabytes per second.
#include <arpa/inet.h>
#include <linux/futex.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

bool SendAll(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL);
        if (sent <= 0) {
            return false;
        }
        data += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return true;
}

// Reads one request or response head (up to the blank line) and returns it with any body
// bytes that came along in `rest`.
bool ReadHead(int fd, std::string& head, std::string& rest) {
    char buffer[65536];
    std::string data = std::move(rest);
    while (data.find("\r\n\r\n") == std::string::npos) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) {
            return false;
        }
        data.append(buffer, static_cast<std::size_t>(got));
    }
    const std::size_t end = data.find("\r\n\r\n") + 4;
    head = data.substr(0, end);
    rest = data.substr(end);
    return true;
}

std::size_t ContentLength(const std::string& head) {
    const std::size_t at = head.find("Content-Length: ");
    return at == std::string::npos ? 0 : std::strtoull(head.c_str() + at + 16, nullptr, 10);
}

// Reads and drops length body bytes, of which `rest` holds the first ones.
bool SkipBody(int fd, std::size_t length, std::string& rest, std::size_t chunk = 65536) {
    std::size_t have = std::min(length, rest.size());
    rest.erase(0, have);
    std::vector<char> buffer(chunk);
    while (have < length) {
        const ssize_t got = ::recv(fd, buffer.data(), std::min(chunk, length - have), 0);
        if (got <= 0) {
            return false;
        }
        have += static_cast<std::size_t>(got);
    }
    return true;
}

void Serve(int client) {
    static const std::string big(1 << 20, 'x');
    std::string head;
    std::string rest;
    while (ReadHead(client, head, rest)) {
        if (!SkipBody(client, ContentLength(head), rest, 1 << 20)) {
            break;
        }
        std::size_t bodyLength = 13;
        if (head.starts_with("GET /big/")) {
            bodyLength = std::strtoull(head.c_str() + 9, nullptr, 10);
        }
        const std::string answer =
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
            std::to_string(bodyLength) + "\r\n\r\n";
        if (!SendAll(client, answer.data(), answer.size())) {
            break;
        }
        for (std::size_t sent = 0; sent < bodyLength;) {
            const std::size_t count = std::min(big.size(), bodyLength - sent);
            if (!SendAll(client, big.data(), count)) {
                break;
            }
            sent += count;
        }
    }
    ::close(client);
}

int Server(const char* portFile) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 64) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("server");
        return 1;
    }
    FILE* file = std::fopen(portFile, "w");
    std::fprintf(file, "%d\n", ntohs(address.sin_port));
    std::fclose(file);
    while (true) {
        const int client = ::accept(listener, nullptr, nullptr);
        if (client >= 0) {
            ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            std::thread(Serve, client).detach();
        }
    }
}

int Connect(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

// COUNT times request on one keep-alive connection, each answer read whole; the seconds taken.
std::optional<double> Fetch(int port, long count, const std::string& request) {
    const int fd = Connect(port);
    std::string head;
    std::string rest;
    const auto started = Clock::now();
    for (long i = 0; i < count; ++i) {
        if (!SendAll(fd, request.data(), request.size()) || !ReadHead(fd, head, rest) ||
            !SkipBody(fd, ContentLength(head), rest)) {
            return std::nullopt;
        }
    }
    return Seconds(started);
}

int Small(int port, long count) {
    const auto seconds = Fetch(port, count, "GET /small HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    if (!seconds) {
        return 1;
    }
    std::printf("%.0f requests/s\n", static_cast<double>(count) / *seconds);
    return 0;
}

int Files(int port, long count, std::size_t bytes) {
    const auto seconds = Fetch(
        port, count, "GET /big/" + std::to_string(bytes) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    if (!seconds) {
        return 1;
    }
    std::printf("%.0f requests/s %.1f MB/s\n", static_cast<double>(count) / *seconds,
                static_cast<double>(bytes) * static_cast<double>(count) / *seconds / 1e6);
    return 0;
}

int Download(int port, std::size_t bytes) {
    const int fd = Connect(port);
    const std::string request =
        "GET /big/" + std::to_string(bytes) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    std::string head;
    std::string rest;
    const auto started = Clock::now();
    if (!SendAll(fd, request.data(), request.size()) || !ReadHead(fd, head, rest) ||
        !SkipBody(fd, ContentLength(head), rest)) {
        return 1;
    }
    const double seconds = Seconds(started);
    std::printf("%.1f MB/s\n", static_cast<double>(bytes) / seconds / 1e6);
    return 0;
}

int Upload(int port, long count, std::size_t size) {
    const int fd = Connect(port);
    const std::string head =
        "POST /upload HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain\r\n"
        "Content-Length: " +
        std::to_string(static_cast<std::size_t>(count) * size) + "\r\n\r\n";
    // Lines of text, as a text/plain body has them.
    std::string piece(size, 'u');
    piece.back() = '\n';
    const auto started = Clock::now();
    if (!SendAll(fd, head.data(), head.size())) {
        return 1;
    }
    for (long i = 0; i < count; ++i) {
        if (!SendAll(fd, piece.data(), piece.size())) {
            return 1;
        }
    }
    const double seconds = Seconds(started);
    std::string answerHead;
    std::string rest;
    ReadHead(fd, answerHead, rest);
    std::printf("%.0f records/s %.1f MB/s\n", static_cast<double>(count) / seconds,
                static_cast<double>(count) * static_cast<double>(size) / seconds / 1e6);
    return 0;
}

long Futex(std::atomic<std::uint32_t>* word, int operation, std::uint32_t value) {
    return ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), operation, value, nullptr,
                     nullptr, 0);
}

// One record at a time between two processes costs at least this: a wake and a wait each way.
int PingPong(long count) {
    void* shared = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    auto* word = new (shared) std::atomic<std::uint32_t>(0);
    const pid_t child = ::fork();
    if (child == 0) {
        for (long i = 0; i < count; ++i) {
            while (word->load() != 1) {
                Futex(word, FUTEX_WAIT, 0);
            }
            word->store(0);
            Futex(word, FUTEX_WAKE, INT_MAX);
        }
        ::_exit(0);
    }
    const auto started = Clock::now();
    for (long i = 0; i < count; ++i) {
        word->store(1);
        Futex(word, FUTEX_WAKE, INT_MAX);
        while (word->load() != 0) {
            Futex(word, FUTEX_WAIT, 1);
        }
    }
    const double seconds = Seconds(started);
    ::waitpid(child, nullptr, 0);
    std::printf("%.0f round trips/s\n", static_cast<double>(count) / seconds);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "server" && argc == 3) {
        return Server(argv[2]);
    }
    if (mode == "small" && argc == 4) {
        return Small(std::atoi(argv[2]), std::atol(argv[3]));
    }
    if (mode == "download" && argc == 4) {
        return Download(std::atoi(argv[2]), std::strtoull(argv[3], nullptr, 10));
    }
    if (mode == "files" && argc == 5) {
        return Files(std::atoi(argv[2]), std::atol(argv[3]), std::strtoull(argv[4], nullptr, 10));
    }
    if (mode == "upload" && argc == 5) {
        return Upload(std::atoi(argv[2]), std::atol(argv[3]), std::strtoull(argv[4], nullptr, 10));
    }
    if (mode == "pingpong" && argc == 3) {
        return PingPong(std::atol(argv[2]));
    }
    const bool help = mode == "--help" || mode == "-h";
    std::fprintf(help ? stdout : stderr,
                 "usage: loopback_http server PORT_FILE | small PORT COUNT | download PORT BYTES\n"
                 "       | upload PORT COUNT SIZE | pingpong COUNT\n"
                 "Loopback HTTP traffic for bench/run-capture-bench.\n");
    return help ? 0 : 2;
}
