#include "system/SystemCapture.h"

#include <bpf/bpf.h>
#include <bpf/btf.h>
#include <bpf/libbpf.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <set>
#include <thread>
#include <unordered_set>

#include "system/ElfFunctions.h"
#include "system/SystemEvents.h"
#include "vantor_capture.skel.h"

namespace vantor {

namespace {

constexpr std::string_view kGoWrite = "crypto/tls.(*Conn).Write";
constexpr std::string_view kGoRead = "crypto/tls.(*Conn).Read";

// Where the machine's own TLS libraries are, for programs that start after capture began.
constexpr std::array<std::string_view, 4> kLibraryFolders = {
    "/usr/lib/x86_64-linux-gnu", "/lib/x86_64-linux-gnu", "/usr/lib64", "/usr/lib"};

// Where programs are installed: the large ones among them (runtimes with their own TLS, as node
// and Go programs are) are probed from the start, not only once they run, whose first calls
// would otherwise come before their probes.
constexpr std::array<std::string_view, 7> kProgramFolders = {
    "/usr/bin", "/usr/local/bin", "/usr/sbin", "/usr/local/sbin", "/bin", "/sbin", "/opt/bin"};
constexpr off_t kLargeProgram = 4 << 20;

bool IsTlsLibrary(std::string_view file) {
    return file.starts_with("libssl.so") || file.starts_with("libgnutls.so");
}

std::string FileName(std::string_view path) {
    return std::string(path.substr(path.rfind('/') + 1));
}

// Transfers are followed at the kernel's socket tracepoints where it has them (6.12 on), else at
// the socket system calls, whose tracepoints cost every system call of every process. The
// environment's VANTOR_SYSTEM_HOOKS=syscalls asks for the latter anywhere.
void ChooseSocketHooks(vantor_capture& skeleton) {
    bool sockets = false;
    if (btf* kernel = ::btf__load_vmlinux_btf(); kernel != nullptr) {
        sockets =
            ::btf__find_by_name_kind(kernel, "btf_trace_tcp_sendmsg_locked", BTF_KIND_TYPEDEF) >=
                0 &&
            ::btf__find_by_name_kind(kernel, "btf_trace_sock_send_length", BTF_KIND_TYPEDEF) >= 0 &&
            ::btf__find_by_name_kind(kernel, "btf_trace_sock_recv_length", BTF_KIND_TYPEDEF) >= 0;
        ::btf__free(kernel);
    }
    if (const char* hooks = std::getenv("VANTOR_SYSTEM_HOOKS");
        hooks != nullptr && std::string_view(hooks) == "syscalls") {
        sockets = false;
    }
    bpf_program* program = nullptr;
    bpf_object__for_each_program(program, skeleton.obj) {
        const std::string_view section = ::bpf_program__section_name(program);
        const bool systemCall = section.starts_with("tracepoint/syscalls/");
        const bool socket = section == "tp_btf/tcp_sendmsg_locked" ||
                            section == "tp_btf/sock_send_length" ||
                            section == "tp_btf/sock_recv_length";
        if ((systemCall && sockets) || (socket && !sockets)) {
            ::bpf_program__set_autoload(program, false);
        }
    }
}

std::int64_t RealtimeOffset() {
    timespec real{};
    timespec monotonic{};
    ::clock_gettime(CLOCK_REALTIME, &real);
    ::clock_gettime(CLOCK_MONOTONIC, &monotonic);
    return (static_cast<std::int64_t>(real.tv_sec) - monotonic.tv_sec) * 1'000'000'000 +
           (real.tv_nsec - monotonic.tv_nsec);
}

}  // namespace

struct SystemCapture::Parts {
    explicit Parts(SystemRecords::RecordOutput output)
        : records(std::move(output), DescribeFromSystem(), RealtimeOffset()) {}
    ~Parts() {
        for (bpf_link* link : links) {
            ::bpf_link__destroy(link);
        }
        if (ring != nullptr) {
            ::ring_buffer__free(ring);
        }
        if (skeleton != nullptr) {
            ::vantor_capture__destroy(skeleton);
        }
    }

    // The ring buffer's callback: one event.
    static int OnEvent(void* context, void* data, std::size_t size);
    // Probes the TLS functions of one file, once per file (by device and inode).
    void AttachTls(const std::string& where);
    void AttachTlsFunctions(const std::string& path);
    // Looks at what a process runs and maps.
    void LookAtProcess(std::uint32_t tgid);
    // A process that just started a program: one not looked at yet is held still meanwhile.
    void LookAtNewProgram(std::uint32_t tgid);
    // A held process's stop: the signal to hand back as it goes on (0 for none), or these.
    static constexpr int kNotStopped = -1;
    static constexpr int kGone = -2;
    static int StopOf(pid_t pid);
    // Lets a held process go once it has stopped; whether it was let go (or is gone).
    static bool Release(pid_t pid);
    void LookAtEveryProcess();

    SystemRecords records;
    vantor_capture* skeleton = nullptr;
    ring_buffer* ring = nullptr;
    std::vector<bpf_link*> links;
    std::set<std::pair<dev_t, ino_t>> looked;  // files whose functions were looked for
    std::size_t tlsTargets = 0;
    std::unordered_set<std::uint32_t> pending;  // processes to look at after this batch
    std::vector<pid_t> seized;                  // held, to let go once their stop comes
    Clock::time_point now;
};

int SystemCapture::Parts::OnEvent(void* context, void* data, std::size_t size) {
    auto* parts = static_cast<Parts*>(context);
    parts->records.Event(std::span(static_cast<const std::uint8_t*>(data), size), parts->now);
    return 0;
}

void SystemCapture::Parts::AttachTls(const std::string& where) {
    // Through a descriptor of our own: the file stays the one looked at, whatever happens to
    // the path or the process that showed it.
    const int fd = ::open(where.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
        !looked.emplace(status.st_dev, status.st_ino).second) {
        ::close(fd);
        return;
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    AttachTlsFunctions(path);
    ::close(fd);
}

void SystemCapture::Parts::AttachTlsFunctions(const std::string& path) {
    // The TLS functions, and the programs on their entry and their return.
    struct Probe {
        std::string_view name;
        bpf_program* entry;
        bpf_program* exit;
    };
    auto& progs = skeleton->progs;
    const std::array<Probe, 8> probes = {{
        {"SSL_write", progs.ssl_write, progs.ssl_write_return},
        {"SSL_write_ex", progs.ssl_write_ex, progs.ssl_write_ex_return},
        {"SSL_read", progs.ssl_read, progs.ssl_read_return},
        {"SSL_read_ex", progs.ssl_read_ex, progs.ssl_read_ex_return},
        {"gnutls_record_send", progs.gnutls_send, progs.gnutls_send_return},
        {"gnutls_record_recv", progs.gnutls_recv, progs.gnutls_recv_return},
        {"SSL_free", progs.ssl_free, nullptr},
        {"gnutls_deinit", progs.gnutls_deinit, nullptr},
    }};
    std::vector<std::string_view> names;
    for (const Probe& probe : probes) {
        names.push_back(probe.name);
    }
    names.push_back(kGoWrite);
    names.push_back(kGoRead);
    const auto functions = FindElfFunctions(path, names);
    if (functions.empty()) {
        return;
    }
    bool attached = false;
    const auto attach = [&](bpf_program* program, bool retprobe, std::uint64_t offset) {
        bpf_link* link = ::bpf_program__attach_uprobe(program, retprobe, -1, path.c_str(),
                                                      static_cast<std::size_t>(offset));
        if (link != nullptr) {
            links.push_back(link);
            attached = true;
        }
    };
    for (const Probe& probe : probes) {
        const auto found = functions.find(std::string(probe.name));
        if (found != functions.end()) {
            attach(probe.entry, false, found->second.offset);
            if (probe.exit != nullptr) {
                attach(probe.exit, true, found->second.offset);
            }
        }
    }
    const auto write = functions.find(std::string(kGoWrite));
    const auto read = functions.find(std::string(kGoRead));
    if (write != functions.end() && read != functions.end()) {
        if (const auto returns = ReturnOffsets(path, read->second); returns && !returns->empty()) {
            attach(progs.go_tls_write, false, write->second.offset);
            attach(progs.go_tls_read, false, read->second.offset);
            for (const std::uint64_t at : *returns) {
                attach(progs.go_tls_read_return, false, read->second.offset + at);
            }
        }
    }
    if (attached) {
        ++tlsTargets;
    }
}

void SystemCapture::Parts::LookAtProcess(std::uint32_t tgid) {
    const std::string proc = "/proc/" + std::to_string(tgid);
    AttachTls(proc + "/exe");
    std::ifstream maps(proc + "/maps");
    std::set<std::string> seen;
    for (std::string line; std::getline(maps, line);) {
        // address perms offset dev inode path
        const std::size_t path = line.find('/');
        const std::size_t perms = line.find(' ');
        if (path == std::string::npos || perms == std::string::npos || perms + 4 >= line.size() ||
            line[perms + 3] != 'x') {
            continue;
        }
        const std::string file = line.substr(path);
        if (!IsTlsLibrary(FileName(file)) || !seen.insert(file).second) {
            continue;
        }
        // As the process sees it, whatever its mount namespace.
        AttachTls(proc + "/root" + file);
    }
}

// A program's first TLS calls may come within milliseconds of its start, before its probes are
// in place (a probe on a file not probed before takes a kernel grace period). So a process that
// starts a program not looked at yet is held, by ptrace, while its program is looked at: a
// stop its parent does not see, and that ends by itself if this process ends.
void SystemCapture::Parts::LookAtNewProgram(std::uint32_t tgid) {
    const std::string exe = "/proc/" + std::to_string(tgid) + "/exe";
    struct stat status {};
    if (::stat(exe.c_str(), &status) != 0 || looked.count({status.st_dev, status.st_ino}) != 0) {
        LookAtProcess(tgid);
        return;
    }
    const auto pid = static_cast<pid_t>(tgid);
    if (::ptrace(PTRACE_SEIZE, pid, nullptr, nullptr) != 0) {
        LookAtProcess(tgid);  // traced by someone else, or gone
        return;
    }
    // Its stop comes at once, unless it sleeps in the kernel: not waited for long.
    int state = kNotStopped;
    if (::ptrace(PTRACE_INTERRUPT, pid, nullptr, nullptr) == 0) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
        while ((state = StopOf(pid)) == kNotStopped &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }
    LookAtProcess(tgid);
    if (state >= 0) {
        ::ptrace(PTRACE_DETACH, pid, nullptr, reinterpret_cast<void*>(static_cast<long>(state)));
    } else if (state == kNotStopped) {
        seized.push_back(pid);  // let go once its stop comes (Poll)
    }
}

int SystemCapture::Parts::StopOf(pid_t pid) {
    int wait = 0;
    const pid_t got = ::waitpid(pid, &wait, WNOHANG | __WALL);
    if (got == 0) {
        return kNotStopped;
    }
    if (got != pid || !WIFSTOPPED(wait)) {
        return kGone;
    }
    // A signal that came meanwhile is handed back as it goes on.
    return (wait >> 16) == PTRACE_EVENT_STOP ? 0 : WSTOPSIG(wait);
}

bool SystemCapture::Parts::Release(pid_t pid) {
    const int state = StopOf(pid);
    if (state >= 0) {
        ::ptrace(PTRACE_DETACH, pid, nullptr, reinterpret_cast<void*>(static_cast<long>(state)));
    }
    return state != kNotStopped;
}

void SystemCapture::Parts::LookAtEveryProcess() {
    for (const std::string_view folder : kLibraryFolders) {
        DIR* directory = ::opendir(std::string(folder).c_str());
        if (directory == nullptr) {
            continue;
        }
        while (const dirent* entry = ::readdir(directory)) {
            if (IsTlsLibrary(entry->d_name)) {
                AttachTls(std::string(folder) + "/" + entry->d_name);
            }
        }
        ::closedir(directory);
    }
    for (const std::string_view folder : kProgramFolders) {
        DIR* directory = ::opendir(std::string(folder).c_str());
        if (directory == nullptr) {
            continue;
        }
        while (const dirent* entry = ::readdir(directory)) {
            const std::string path = std::string(folder) + "/" + entry->d_name;
            struct stat status {};
            if (::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
                (status.st_mode & 0111) != 0 && status.st_size >= kLargeProgram) {
                AttachTls(path);
            }
        }
        ::closedir(directory);
    }
    DIR* processes = ::opendir("/proc");
    if (processes == nullptr) {
        return;
    }
    const auto self = static_cast<std::uint32_t>(::getpid());
    while (const dirent* entry = ::readdir(processes)) {
        char* end = nullptr;
        const unsigned long tgid = std::strtoul(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0' && tgid != self) {
            LookAtProcess(static_cast<std::uint32_t>(tgid));
        }
    }
    ::closedir(processes);
}

SystemCapture::SystemCapture(std::unique_ptr<Parts> parts) : m_parts(std::move(parts)) {}

SystemCapture::~SystemCapture() = default;

std::unique_ptr<SystemCapture> SystemCapture::Start(const SystemCaptureOptions& options,
                                                    SystemRecords::RecordOutput output,
                                                    std::string& error) {
    // The tracepoints are found through tracefs, which a minimal system may not have mounted.
    if (::access("/sys/kernel/tracing/events", F_OK) != 0 &&
        ::access("/sys/kernel/debug/tracing/events", F_OK) != 0) {
        ::mount("tracefs", "/sys/kernel/tracing", "tracefs", 0, nullptr);
    }
    auto parts = std::make_unique<Parts>(std::move(output));
    const auto failed = [&error](const std::string& what, int code) {
        error = what + ": " + std::strerror(code < 0 ? -code : code);
        if (code == -EPERM || code == EPERM || code == -EACCES || code == EACCES) {
            error += " (system-wide capture needs root, or CAP_BPF and CAP_PERFMON)";
        }
        return nullptr;
    };
    parts->skeleton = ::vantor_capture__open();
    if (parts->skeleton == nullptr) {
        return failed("Cannot open the capture programs", errno);
    }
    vantor_capture& skeleton = *parts->skeleton;
    if (::bpf_map__set_max_entries(skeleton.maps.events,
                                   static_cast<std::uint32_t>(options.ringBytes)) != 0) {
        return failed("Cannot size the capture maps", errno);
    }
    ChooseSocketHooks(skeleton);
    if (const int code = ::vantor_capture__load(&skeleton); code != 0) {
        return failed("Cannot load the capture programs into the kernel", code);
    }
    vt_config config{};
    config.pid = options.pid;
    if (options.uid) {
        config.options |= VT_ONLY_UID;
        config.uid = *options.uid;
    }
    if (!options.command.empty()) {
        config.options |= VT_ONLY_COMM;
        std::strncpy(config.comm, options.command.c_str(), sizeof config.comm - 1);
    }
    if (options.servers) {
        config.options |= VT_SERVERS;
    }
    const std::uint32_t zero = 0;
    if (::bpf_map__update_elem(skeleton.maps.config, &zero, sizeof zero, &config, sizeof config,
                               BPF_ANY) != 0) {
        return failed("Cannot configure the capture programs", errno);
    }
    std::vector<std::uint32_t> excluded = options.excluded;
    excluded.push_back(static_cast<std::uint32_t>(::getpid()));
    for (const std::uint32_t pid : excluded) {
        const std::uint8_t yes = 1;
        ::bpf_map__update_elem(skeleton.maps.excluded, &pid, sizeof pid, &yes, sizeof yes, BPF_ANY);
    }
    if (const int code = ::vantor_capture__attach(&skeleton); code != 0) {
        return failed("Cannot attach the capture programs", code);
    }
    Parts* raw = parts.get();
    parts->ring =
        ::ring_buffer__new(::bpf_map__fd(skeleton.maps.events), Parts::OnEvent, raw, nullptr);
    if (parts->ring == nullptr) {
        return failed("Cannot read the capture ring", errno);
    }
    parts->records.onProgram = [raw](std::uint32_t tgid, bool started) {
        if (started) {
            // At once, before the rest of the events: the program is held meanwhile.
            raw->LookAtNewProgram(tgid);
        } else {
            raw->pending.insert(tgid);
        }
    };
    parts->LookAtEveryProcess();
    return std::unique_ptr<SystemCapture>(new SystemCapture(std::move(parts)));
}

void SystemCapture::Poll(std::chrono::milliseconds timeout) {
    Parts& parts = *m_parts;
    const int wait = parts.records.Waiting()
                         ? static_cast<int>(std::min<long long>(timeout.count(), 20))
                         : static_cast<int>(timeout.count());
    parts.now = Clock::now();
    ::ring_buffer__poll(parts.ring, wait);
    parts.now = Clock::now();
    ::ring_buffer__consume(parts.ring);
    if (!parts.pending.empty()) {
        const auto pending = std::move(parts.pending);
        parts.pending.clear();
        for (const std::uint32_t tgid : pending) {
            parts.LookAtProcess(tgid);
        }
    }
    std::erase_if(parts.seized, [&parts](pid_t pid) { return parts.Release(pid); });
    parts.records.Expire(Clock::now());
}

void SystemCapture::Drain() {
    m_parts->now = Clock::now();
    ::ring_buffer__consume(m_parts->ring);
    m_parts->records.Expire(Clock::time_point::max());
}

int SystemCapture::EventDescriptor() const {
    return ::ring_buffer__epoll_fd(m_parts->ring);
}

std::uint64_t SystemCapture::KernelDrops() const {
    const int cpus = ::libbpf_num_possible_cpus();
    if (cpus <= 0) {
        return 0;
    }
    std::vector<std::uint64_t> counts(static_cast<std::size_t>(cpus));
    const std::uint32_t zero = 0;
    if (::bpf_map__lookup_elem(m_parts->skeleton->maps.drops, &zero, sizeof zero, counts.data(),
                               counts.size() * sizeof(std::uint64_t), 0) != 0) {
        return 0;
    }
    std::uint64_t total = 0;
    for (const std::uint64_t count : counts) {
        total += count;
    }
    return total;
}

std::uint64_t SystemCapture::Malformed() const {
    return m_parts->records.malformed();
}

std::size_t SystemCapture::TlsTargets() const {
    return m_parts->tlsTargets;
}

}  // namespace vantor
