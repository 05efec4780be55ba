#include "capture/CaptureChannel.h"

#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

#include "capture/ChannelLayout.h"
#include "capture/RingReader.h"
#include "platform/AtomicFile.h"
#include "platform/BlockingCallQueue.h"
#include "platform/NamedEvent.h"
#include "platform/ProcessState.h"
#include "platform/SharedMemory.h"
#include "platform/XdgPaths.h"

namespace vantor {

namespace {

using namespace std::chrono_literals;

constexpr auto kReaderWait = 10ms;
// Records handed to the window thread in one call: enough to make the call's cost vanish, few
// enough that input waits no longer than a few milliseconds behind a batch.
constexpr std::size_t kBatchRecords = 256;
// A reader that has just caught up looks again this much later before it turns the doorbell
// off: while programs keep writing, records then come a batch per look instead of a wake-up
// (and a system call in the writer) per record.
constexpr auto kLinger = 100us;
// After the stop, what was committed is dispatched, but never more than this many batches:
// writers that keep writing into a closed ring do not hold the stop up.
constexpr int kBatchesAfterStop = 64;
constexpr auto kStopBound = 20'000ms;
constexpr int kCreateAttempts = 3;

std::string ObjectName(const char* name, const std::string& tag) {
    char text[VANTOR_OBJECT_NAME_SIZE];
    return vantor_object_name(text, sizeof text, name, tag.c_str()) != 0 ? std::string(text)
                                                                         : std::string();
}

// The inode of this process's process id namespace: providers in the same namespace name
// themselves by process id when they take the buffer. 0 when it cannot be told.
unsigned long long PidNamespace() {
    struct stat status {};
    return ::stat("/proc/self/ns/pid", &status) == 0
               ? static_cast<unsigned long long>(status.st_ino)
               : 0;
}

}  // namespace

ChannelNames ChannelNames::ForTag(const std::string& tag) {
    return {ObjectName(VANTOR_FULL_EVENT_NAME, tag), ObjectName(VANTOR_EMPTY_EVENT_NAME, tag),
            ObjectName(VANTOR_BUFFER_NAME, tag)};
}

std::string ChannelNames::RandomTag() {
    std::uint8_t bytes[VANTOR_CHANNEL_TAG_LENGTH / 2];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno != EINTR) {
            return {};
        }
        got += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string tag;
    for (const std::uint8_t byte : bytes) {
        tag += kDigits[byte >> 4];
        tag += kDigits[byte & 15];
    }
    return tag;
}

std::filesystem::path ChannelNames::DefaultChannelFile() {
    return PrivateRuntimeFolder() / VANTOR_CHANNEL_FILE_NAME;
}

CaptureChannel::CaptureChannel(std::filesystem::path channelFile, PendingRecord& pending,
                               BlockingCallQueue& window, std::function<void()> onCaptureRecord,
                               std::function<void(std::string_view)> showMessage)
    : m_channelFile(std::move(channelFile)),
      m_pending(pending),
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
    if (!CreateObjects()) {
        m_showMessage(kTextCannotCreateEvent);
        return false;
    }
    m_lostRecords = 0;  // counted per capture
    m_droppedRecords = 0;
    m_bCapturing = true;
    m_window.Reopen();
    m_readerDone = false;
    m_reader = std::thread([this] { CaptureReaderProc(); });
    return true;
}

bool CaptureChannel::CreateObjects() {
    // Names are never reused: one that exists already, whoever made it, means another tag.
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        const std::string tag = ChannelNames::RandomTag();
        if (tag.empty()) {
            return false;
        }
        m_names = ChannelNames::ForTag(tag);
        m_full = NamedEvent::Create(m_names.full, false);
        m_empty = m_full != nullptr ? NamedEvent::Create(m_names.empty, true) : nullptr;
        m_buffer =
            m_empty != nullptr ? SharedMemory::Create(m_names.buffer, VANTOR_BUFFER_SIZE) : nullptr;
        if (m_buffer != nullptr && MakePrivateFolder(m_channelFile.parent_path()) &&
            WriteFileAtomically(m_channelFile, tag + " " + std::to_string(PidNamespace()) + "\n")) {
            return true;
        }
        DeleteObjects();
    }
    return false;
}

void CaptureChannel::DeleteObjects() {
    for (const auto& event : {m_full.get(), m_empty.get()}) {
        if (event != nullptr) {
            event->Unlink();
        }
    }
    if (m_buffer != nullptr) {
        m_buffer->Unlink();
    }
    m_full.reset();
    m_empty.reset();
    m_buffer.reset();
    m_names = {};
}

void CaptureChannel::CaptureReaderProc() {
    // The events were created free (EMPTY set, FULL reset) and providers may already be writing.
    // Runs until capture stops; what was committed by then is dispatched first.
    RingReader ring(m_buffer->data());
    std::vector<PendingRecord> batch;
    batch.reserve(kBatchRecords);
    int batchesAfterStop = 0;
    bool busy = false;  // the last look found records
    while (true) {
        const bool stopping = !m_bCapturing.load();
        batch.clear();
        ring.Collect(batch, kBatchRecords);
        m_lostRecords = ring.lost();
        m_droppedRecords = ring.DroppedByWriters();
        if (!batch.empty() && !m_window.Call([this, &batch] { DispatchBatch(batch); })) {
            break;
        }
        ring.Release();
        m_empty->Set();  // wakes writers waiting for room, if any
        if (stopping && (batch.empty() || ++batchesAfterStop == kBatchesAfterStop)) {
            break;
        }
        if (!batch.empty()) {
            busy = true;
            continue;
        }
        if (std::exchange(busy, false)) {
            std::this_thread::sleep_for(kLinger);
            continue;
        }
        // Nothing to take: ring the doorbell off, look once more, then sleep until a writer
        // rings it (or capture stops: closing the events wakes us).
        m_full->Reset();
        if (ring.HasWork()) {
            continue;
        }
        if (m_full->Wait(kReaderWait) == NamedEvent::WaitResult::TimedOut) {
            ring.ClearAbandoned([](std::uint32_t holder) { return ProcessHasEnded(holder); });
        }
    }
    m_readerDone = true;
}

void CaptureChannel::DispatchBatch(const std::vector<PendingRecord>& batch) {
    for (const PendingRecord& record : batch) {
        m_pending = record;
        m_onCaptureRecord();
    }
}

void CaptureChannel::StopCapture() {
    if (!m_reader.joinable()) {
        return;
    }
    m_bCapturing = false;
    // Closing the events wakes the reader and every provider waiting for the buffer at once.
    if (m_full != nullptr) {
        m_full->MarkClosed();
    }
    if (m_empty != nullptr) {
        m_empty->MarkClosed();
    }
    std::error_code ignored;
    std::filesystem::remove(m_channelFile, ignored);
    const auto deadline = std::chrono::steady_clock::now() + kStopBound;
    while (!m_readerDone.load() && std::chrono::steady_clock::now() < deadline) {
        m_window.RunPending(kReaderWait);  // a record being handed over is dispatched now
    }
    if (m_readerDone.load()) {
        m_reader.join();
    } else {
        // The reader is stuck outside our control: it keeps the objects it may still touch.
        m_window.Close();
        m_reader.detach();
        m_full.release();
        m_empty.release();
        m_buffer.release();
        return;
    }
    DeleteObjects();
}

void CaptureChannel::Shutdown() {
    if (m_reader.joinable()) {
        StopCapture();
    }
}

}  // namespace vantor
