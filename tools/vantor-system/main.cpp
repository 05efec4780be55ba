// vantor-system: the privileged helper of the window's Capture > Capture All Programs. Started
// through pkexec or sudo (or directly by root), it runs the system-wide capture and writes its
// records to standard output as a record stream; it ends when standard input ends (the window
// closed the pipe, or ended however it ended) or standard output can take no more.
#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "record/CaptureRecord.h"
#include "system/SystemCapture.h"

namespace {

constexpr const char* kUsage =
    "usage: vantor-system [--exclude PID]... [--pid PID] [--uid UID] [--comm NAME] [--servers]\n"
    "\n"
    "Captures the HTTP of every program on this machine (root, or CAP_BPF and CAP_PERFMON) and\n"
    "writes it to standard output as a capture-record stream, until standard input ends.\n"
    "Vantor's window starts it for Capture > Capture All Programs.\n";

volatile std::sig_atomic_t g_stop = 0;

extern "C" void Stop(int /*signal*/) {
    g_stop = 1;
}

bool Number(std::string_view text, std::uint32_t& number) {
    const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), number);
    return failure == std::errc() && end == text.data() + text.size();
}

// Writes all of bytes to standard output; false once it can take no more.
bool WriteAll(const std::uint8_t* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(STDOUT_FILENO, bytes, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// Keeps what the capture goes on needing once its programs are loaded: attaching probes to
// programs that start later (CAP_BPF, CAP_PERFMON), looking at and holding other users'
// processes (CAP_SYS_PTRACE, CAP_DAC_READ_SEARCH). Every other capability goes, no program it
// could start gains any, and it runs as the user who asked for it where that is known.
void DropPrivileges() {
    ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    constexpr unsigned kKept[] = {CAP_BPF, CAP_PERFMON, CAP_SYS_PTRACE, CAP_DAC_READ_SEARCH};
    for (unsigned capability = 0; capability <= CAP_LAST_CAP; ++capability) {
        bool kept = false;
        for (const unsigned wanted : kKept) {
            kept = kept || wanted == capability;
        }
        if (!kept) {
            ::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0);
        }
    }
    const char* asker = std::getenv("PKEXEC_UID");
    if (asker == nullptr) {
        asker = std::getenv("SUDO_UID");
    }
    std::uint32_t uid = 0;
    if (asker != nullptr && Number(asker, uid) && uid != 0) {
        ::prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0);
        if (::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0) {
            std::cerr << "vantor-system: cannot become user " << uid << ": " << std::strerror(errno)
                      << '\n';
        }
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    for (const unsigned wanted : kKept) {
        data[wanted / 32].effective |= 1u << (wanted % 32);
        data[wanted / 32].permitted |= 1u << (wanted % 32);
    }
    if (::syscall(SYS_capset, &header, data) != 0) {
        std::cerr << "vantor-system: cannot drop capabilities: " << std::strerror(errno) << '\n';
    }
}

}  // namespace

int main(int argc, char** argv) {
    vantor::SystemCaptureOptions options;
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const bool valued = argument == "--exclude" || argument == "--pid" || argument == "--uid" ||
                            argument == "--comm";
        if (argument == "-h" || argument == "--help") {
            std::cout << kUsage;
            return 0;
        }
        if (argument == "--servers") {
            options.servers = true;
            continue;
        }
        if (!valued || i + 1 >= arguments.size()) {
            std::cerr << "vantor-system: unknown argument '" << argument << "'\n\n" << kUsage;
            return 2;
        }
        const std::string& value = arguments[++i];
        std::uint32_t number = 0;
        if (argument == "--comm") {
            options.command = value.substr(0, 15);
        } else if (!Number(value, number)) {
            std::cerr << "vantor-system: " << argument << " needs a number, not '" << value
                      << "'\n";
            return 2;
        } else if (argument == "--exclude") {
            options.excluded.push_back(number);
        } else if (argument == "--pid") {
            options.pid = number;
        } else {
            options.uid = number;
        }
    }
    ::signal(SIGPIPE, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = Stop;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    // Whoever started it reads it: the window's process is never captured.
    options.excluded.push_back(static_cast<std::uint32_t>(::getppid()));

    bool open = true;
    std::vector<std::uint8_t> buffer;
    std::string error;
    const auto capture = vantor::SystemCapture::Start(
        options,
        [&](const vantor::CaptureRecord& record, std::span<const std::uint8_t> data) {
            std::uint8_t header[vantor::kCaptureHeaderSize];
            vantor::CaptureRecord written = record;
            written.dataLength = static_cast<std::uint32_t>(data.size());
            vantor::WriteCaptureRecord(written, header);
            buffer.insert(buffer.end(), header, header + sizeof header);
            buffer.insert(buffer.end(), data.begin(), data.end());
        },
        error);
    if (capture == nullptr) {
        std::cerr << "vantor-system: " << error << '\n';
        return 1;
    }
    DropPrivileges();
    std::cerr << "vantor-system: capturing\n";
    while (open && g_stop == 0) {
        capture->Poll(std::chrono::milliseconds(50));
        if (!buffer.empty()) {
            open = WriteAll(buffer.data(), buffer.size());
            buffer.clear();
        }
        // Standard input ends when the reader goes.
        pollfd input{STDIN_FILENO, POLLIN, 0};
        if (::poll(&input, 1, 0) > 0) {
            char byte = 0;
            if ((input.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 ||
                ::read(STDIN_FILENO, &byte, 1) <= 0) {
                open = false;
            }
        }
    }
    capture->Drain();
    if (open && !buffer.empty()) {
        WriteAll(buffer.data(), buffer.size());
    }
    return 0;
}
