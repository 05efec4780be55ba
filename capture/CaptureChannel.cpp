#include "capture/CaptureChannel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "capture/ChannelLayout.h"
#include "capture/RecordOrder.h"
#include "capture/RingReader.h"
#include "platform/BlockingCallQueue.h"
#include "platform/Endian.h"
#include "platform/XdgPaths.h"

namespace vantor {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kReaderWait = 10ms;
// Records handed to the window thread in one call: enough to make the call's cost vanish, few
// enough that input waits no longer than a few milliseconds behind a batch.
constexpr std::size_t kBatchRecords = 256;
// A reader that has just caught up sleeps this long before it looks again, unless a ring
// fills to kWakeLevel first: while programs keep writing, records then come many batches per
// wake-up instead of one wake-up (and a system call in the writer) per record, and the wake-ups
// of a busy capture, which cost the programs more than the reading does, stay few.
constexpr auto kLinger = 2ms;
constexpr std::uint32_t kWakeLevel = VANTOR_RING_SIZE / 4;
// While busy, the reader still looks for new programs and ended ones this often.
constexpr auto kLookAround = 10ms;
// After the stop, what was committed is dispatched, but never more than this many batches:
// writers that keep writing into a closed ring do not hold the stop up.
constexpr int kBatchesAfterStop = 64;
constexpr auto kStopBound = 20'000ms;
// A connection that says nothing for this long is not a captured program.
constexpr auto kHelloWait = 5s;
constexpr std::size_t kMostWriters = 4096;

// A Unix socket address for path: the path itself, or through a descriptor of its folder
// (/proc/self/fd/N/name) when the path is too long for one. Nothing when neither fits.
bool SocketAddress(const std::filesystem::path& path, int folder, sockaddr_un& address,
                   socklen_t& length) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::string text = path.string();
    if (text.size() >= sizeof address.sun_path && folder >= 0) {
        text = "/proc/self/fd/" + std::to_string(folder) + "/" + path.filename().string();
    }
    if (text.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + text.size() + 1);
    return true;
}

void Close(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

}  // namespace

// One captured process: its connection and, once it said hello, its ring. Only the reader
// thread touches it.
struct CaptureChannel::Writer {
    explicit Writer(int fd) : connection(fd), accepted(Clock::now()) {}
    ~Writer() {
        if (object != nullptr) {
            ::munmap(object, VANTOR_RING_OBJECT_SIZE);
        }
        Close(connection);
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // Reads the hello (with the ring's descriptor) if it came: false when the connection is
    // not a program's to read (it ended, or said something else).
    bool TakeHello(std::atomic<std::uint64_t>& uncaptured);
    // Takes the doorbell's bytes; notices the connection's end.
    void TakeDoorbell();

    int connection;
    Clock::time_point accepted;
    std::uint8_t* object = nullptr;
    std::unique_ptr<RingReader> reader;
    bool ended = false;  // the process let its ring go (or ended): nothing more will be written
};

bool CaptureChannel::Writer::TakeHello(std::atomic<std::uint64_t>& uncaptured) {
    std::uint8_t hello[VANTOR_HELLO_SIZE];
    iovec iov{hello, sizeof hello};
    union {
        cmsghdr align;
        char buffer[CMSG_SPACE(4 * sizeof(int))];
    } control{};
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control.buffer;
    message.msg_controllen = sizeof control.buffer;
    const ssize_t got = ::recvmsg(connection, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (got < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    }
    // Every descriptor that came is ours to close; one ring at most is kept.
    int ring = -1;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) {
            continue;
        }
        const std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
            int fd = -1;
            std::memcpy(&fd, CMSG_DATA(header) + i * sizeof(int), sizeof fd);
            if (ring < 0) {
                ring = fd;
            } else {
                ::close(fd);
            }
        }
    }
    const auto field = [&hello](std::size_t offset) {
        return LoadLE32(std::span<const std::uint8_t, 4>(hello + offset, 4));
    };
    bool ok = got == static_cast<ssize_t>(VANTOR_HELLO_SIZE) &&
              (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) == 0 &&
              field(VANTOR_HELLO_MAGIC_OFFSET) == VANTOR_HELLO_MAGIC;
    if (ok && field(VANTOR_HELLO_STATUS_OFFSET) != VANTOR_HELLO_RING) {
        ++uncaptured;  // the program could not make its ring
        ok = false;
    }
    // The ring must be what the layout says and unable to shrink under the reader.
    struct stat status {};
    ok = ok && ring >= 0 && ::fstat(ring, &status) == 0 && S_ISREG(status.st_mode) &&
         status.st_size == static_cast<off_t>(VANTOR_RING_OBJECT_SIZE);
    const int seals = ok ? ::fcntl(ring, F_GET_SEALS) : -1;
    ok = ok && seals >= 0 && (seals & F_SEAL_SHRINK) != 0;
    if (ok) {
        void* mapped =
            ::mmap(nullptr, VANTOR_RING_OBJECT_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, ring, 0);
        if (mapped != MAP_FAILED) {
            object = static_cast<std::uint8_t*>(mapped);
            reader = std::make_unique<RingReader>(object);
        } else {
            ok = false;
        }
    }
    if (ring >= 0) {
        ::close(ring);
    }
    return ok;
}

void CaptureChannel::Writer::TakeDoorbell() {
    char bells[64];
    while (true) {
        const ssize_t got = ::recv(connection, bells, sizeof bells, MSG_DONTWAIT);
        if (got > 0) {
            continue;
        }
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            ended = true;
        }
        return;
    }
}

std::filesystem::path CaptureChannel::DefaultSocketPath() {
    return PrivateRuntimeFolder() / VANTOR_CHANNEL_SOCKET_NAME;
}

CaptureChannel::CaptureChannel(std::filesystem::path socketPath, BlockingCallQueue& window,
                               std::function<void(const PendingRecord&)> onCaptureRecord,
                               std::function<void(std::string_view)> showMessage)
    : m_socketPath(std::move(socketPath)),
      m_window(window),
      m_onCaptureRecord(std::move(onCaptureRecord)),
      m_showMessage(std::move(showMessage)) {}

CaptureChannel::~CaptureChannel() {
    Shutdown();
}

bool CaptureChannel::StartCapture() {
    if (m_bCapturing.load() || m_reader.joinable()) {
        return m_bCapturing.load();
    }
    if (!Listen()) {
        m_showMessage(kTextCannotCreateEvent);
        return false;
    }
    m_lostRecords = 0;  // counted per capture
    m_droppedRecords = 0;
    m_uncaptured = 0;
    m_bCapturing = true;
    m_window.Reopen();
    m_readerDone = false;
    m_reader = std::thread([this] { CaptureReaderProc(); });
    return true;
}

bool CaptureChannel::Listen() {
    const std::filesystem::path folder = m_socketPath.parent_path();
    if (!MakePrivateFolder(folder)) {
        return false;
    }
    int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    sockaddr_un address{};
    socklen_t length = 0;
    m_listener = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // A socket left by a Vantor that ended goes first: the folder is the user's alone.
    const bool listening =
        m_listener >= 0 && m_wake >= 0 && SocketAddress(m_socketPath, folderFd, address, length) &&
        (::unlink(address.sun_path) == 0 || errno == ENOENT) &&
        ::bind(m_listener, reinterpret_cast<const sockaddr*>(&address), length) == 0 &&
        ::listen(m_listener, SOMAXCONN) == 0;
    Close(folderFd);
    if (!listening) {
        StopListening();
        return false;
    }
    return true;
}

void CaptureChannel::StopListening() {
    if (m_listener >= 0) {
        int folderFd = ::open(m_socketPath.parent_path().c_str(),
                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        sockaddr_un address{};
        socklen_t length = 0;
        if (SocketAddress(m_socketPath, folderFd, address, length)) {
            ::unlink(address.sun_path);
        }
        Close(folderFd);
    }
    Close(m_listener);
    Close(m_wake);
}

void CaptureChannel::AcceptWriters(std::vector<std::unique_ptr<Writer>>& writers) {
    while (true) {
        const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            break;
        }
        ucred peer{};
        socklen_t peerLength = sizeof peer;
        // Only the user's own programs: the folder is theirs, but root could connect too.
        if (writers.size() >= kMostWriters ||
            ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerLength) != 0 ||
            peer.uid != ::geteuid()) {
            ::close(fd);
            continue;
        }
        writers.push_back(std::make_unique<Writer>(fd));
    }
    const auto now = Clock::now();
    std::erase_if(writers, [&](const std::unique_ptr<Writer>& writer) {
        return writer->reader == nullptr &&
               (!writer->TakeHello(m_uncaptured) ||
                (writer->reader == nullptr && now - writer->accepted > kHelloWait));
    });
}

void CaptureChannel::CaptureReaderProc() {
    // Runs until capture stops; what was committed by then is dispatched first.
    std::vector<std::unique_ptr<Writer>> writers;
    RecordOrder order;
    std::vector<PendingRecord> collected;
    collected.reserve(kBatchRecords);
    std::vector<pollfd> watched;
    std::uint64_t lostBefore = 0;  // by writers read no more
    std::uint64_t droppedBefore = 0;
    std::size_t turn = 0;  // the ring looked at first, in turn, so that none is starved
    int batchesAfterStop = 0;
    bool stopping = false;
    bool busy = false;  // the last look found records
    bool calling = true;  // a program may wait to connect
    auto lookedAround = Clock::now();

    // Looks at every connection's doorbell and end, waiting at most timeout.
    const auto watch = [&](int timeout) {
        watched.assign(1, pollfd{m_wake, POLLIN, 0});
        watched.push_back({m_listener, POLLIN, 0});
        for (const auto& writer : writers) {
            watched.push_back({writer->connection, POLLIN, 0});
        }
        if (::poll(watched.data(), watched.size(), timeout) > 0) {
            calling = calling || watched[1].revents != 0;
            for (std::size_t i = 0; i < writers.size(); ++i) {
                // A writer yet to say hello keeps its message for AcceptWriters.
                if (watched[i + 2].revents != 0 && writers[i]->reader != nullptr) {
                    writers[i]->TakeDoorbell();
                }
            }
            std::uint64_t drained = 0;
            if ((watched[0].revents & POLLIN) != 0) {
                [[maybe_unused]] const ssize_t got = ::read(m_wake, &drained, sizeof drained);
            }
        }
        lookedAround = Clock::now();
    };

    while (true) {
        if (!stopping && !m_bCapturing.load()) {
            // Programs that connected before the stop are read too (a reader that was stopped
            // itself may not have taken them yet): their rings hold records written before it.
            AcceptWriters(writers);
            // Writers go on without us: those waiting for room are woken.
            stopping = true;
            for (const auto& writer : writers) {
                if (writer->reader != nullptr) {
                    writer->reader->Close();
                }
            }
        }
        // Only when a program called, or a ring waits for its hello: an accept that finds
        // nobody still costs the kernel a socket made and thrown away.
        if (!stopping && (calling || std::any_of(writers.begin(), writers.end(), [](const auto& w) {
                              return w->reader == nullptr;
                          }))) {
            calling = false;
            AcceptWriters(writers);
        }
        collected.clear();
        for (std::size_t i = 0; i < writers.size() && collected.size() < kBatchRecords; ++i) {
            Writer& writer = *writers[(turn + i) % writers.size()];
            if (writer.reader != nullptr) {
                writer.reader->Collect(collected, kBatchRecords - collected.size());
            }
        }
        turn = writers.empty() ? 0 : (turn + 1) % writers.size();
        const auto now = Clock::now();
        for (const PendingRecord& record : collected) {
            order.Offer(record, now);
        }
        if (stopping) {
            order.Expire(Clock::time_point::max());  // nothing more will fill the gaps
        } else {
            order.Expire(now);
        }
        std::vector<PendingRecord>& ready = order.ready();
        if (!ready.empty() && !m_window.Call([this, &ready] { DispatchBatch(ready); })) {
            break;
        }
        order.Dispatched();

        // Room back to the writers; the rings of processes that ended go once read whole.
        std::uint64_t lost = lostBefore;
        std::uint64_t dropped = droppedBefore;
        for (auto& writer : writers) {
            if (writer->reader == nullptr) {
                continue;
            }
            writer->reader->Release();
            if (writer->ended) {
                writer->reader->SkipAbandoned();
            }
            lost += writer->reader->lost();
            dropped += writer->reader->DroppedByWriters();
        }
        std::erase_if(writers, [&](const std::unique_ptr<Writer>& writer) {
            if (writer->reader == nullptr || !writer->ended || !writer->reader->Drained()) {
                return false;
            }
            lostBefore += writer->reader->lost();
            droppedBefore += writer->reader->DroppedByWriters();
            return true;
        });
        m_lostRecords = lost;
        m_droppedRecords = dropped;
        m_writers = writers.size();

        if (stopping && (collected.empty() || ++batchesAfterStop == kBatchesAfterStop)) {
            break;
        }
        if (!collected.empty()) {
            busy = true;
            if (Clock::now() - lookedAround >= kLookAround) {
                watch(0);  // new programs, ended ones, doorbells, even while busy
            }
            continue;
        }
        // Nothing to take. Every ring says the reader sleeps, a last look, then a wait for a
        // doorbell, a program, an end or the stop (the wake event). Just after records came,
        // the wait lasts kLinger and only a ring filling up cuts it short; else any record does,
        // and it lasts at most kReaderWait or until a waiting record's wait is over.
        const bool lingering = std::exchange(busy, false);
        const std::uint32_t wakeAt = lingering ? kWakeLevel : 1;
        bool work = false;
        for (const auto& writer : writers) {
            if (writer->reader != nullptr) {
                writer->reader->Sleeping(wakeAt);
                work = work || writer->reader->HasWork(wakeAt);
            }
        }
        if (!work) {
            auto timeout = std::chrono::duration_cast<std::chrono::milliseconds>(
                lingering ? kLinger : kReaderWait);
            if (order.Waiting()) {
                timeout = std::clamp(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         order.NextExpiry() - Clock::now()) +
                                         1ms,
                                     0ms, timeout);
            }
            watch(static_cast<int>(timeout.count()));
        }
        for (const auto& writer : writers) {
            if (writer->reader != nullptr) {
                writer->reader->Awake();
            }
        }
    }
    m_writers = 0;
    m_readerDone = true;
}

void CaptureChannel::DispatchBatch(const std::vector<PendingRecord>& batch) {
    for (const PendingRecord& record : batch) {
        m_onCaptureRecord(record);
    }
}

void CaptureChannel::StopCapture() {
    if (!m_reader.joinable()) {
        return;
    }
    m_bCapturing = false;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t woke = ::write(m_wake, &one, sizeof one);
    const auto deadline = Clock::now() + kStopBound;
    while (!m_readerDone.load() && Clock::now() < deadline) {
        m_window.RunPending(kReaderWait);  // a record being handed over is dispatched now
    }
    if (!m_readerDone.load()) {
        // The reader is stuck outside our control: it keeps what it may still touch.
        m_window.Close();
        m_reader.detach();
        m_listener = -1;
        m_wake = -1;
        return;
    }
    m_reader.join();
    StopListening();
}

void CaptureChannel::Shutdown() {
    if (m_reader.joinable()) {
        StopCapture();
    }
}

}  // namespace vantor
