#include "capture/CaptureChannel.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "capture/ChannelLayout.h"
#include "platform/BlockingCallQueue.h"
#include "platform/NamedEvent.h"
#include "platform/SharedMemory.h"
#include "platform/XdgPaths.h"

namespace vantor {

namespace {

using namespace std::chrono_literals;

constexpr auto kReaderWait = 10ms;
constexpr auto kStopBound = 20'000ms;

std::string ObjectName(const char* name, const std::string& tag) {
    char text[VANTOR_OBJECT_NAME_SIZE];
    return vantor_object_name(text, sizeof text, name, tag.c_str()) != 0 ? std::string(text)
                                                                         : std::string();
}

}  // namespace

ChannelNames ChannelNames::ForTag(const std::string& tag) {
    return {ObjectName(VANTOR_FULL_EVENT_NAME, tag), ObjectName(VANTOR_EMPTY_EVENT_NAME, tag),
            ObjectName(VANTOR_BUFFER_NAME, tag)};
}

std::string ChannelNames::DefaultTag() {
    char tag[VANTOR_CHANNEL_TAG_SIZE];
    vantor_channel_tag(tag, sizeof tag, static_cast<unsigned long>(::geteuid()),
                       RuntimeFolder().c_str());
    return tag;
}

CaptureChannel::CaptureChannel(ChannelNames names, PendingRecord& pending,
                               BlockingCallQueue& window, std::function<void()> onCaptureRecord,
                               std::function<void(std::string_view)> showMessage)
    : m_names(std::move(names)),
      m_pending(pending),
      m_window(window),
      m_onCaptureRecord(std::move(onCaptureRecord)),
      m_showMessage(std::move(showMessage)) {}

CaptureChannel::~CaptureChannel() {
    Shutdown();
}

void CaptureChannel::StartCapture() {
    if (m_bCapturing.load() || m_reader.joinable()) {
        return;
    }
    m_bCapturing = true;
    m_full = NamedEvent::Create(m_names.full, false);
    m_empty = NamedEvent::Create(m_names.empty, true);
    if (m_full == nullptr || m_empty == nullptr) {
        m_showMessage(kTextCannotCreateEvent);
    }
    m_buffer = SharedMemory::Create(m_names.buffer, VANTOR_BUFFER_SIZE);
    m_window.Reopen();
    m_readerDone = false;
    m_reader = std::thread([this] { CaptureReaderProc(); });
}

void CaptureChannel::CaptureReaderProc() {
    // The events were created free (EMPTY set, FULL reset) and providers may already be using
    // them: setting them again here could drop a record written in between.
    if (m_full == nullptr || m_empty == nullptr || m_buffer == nullptr) {
        while (m_bCapturing.load()) {
            std::this_thread::sleep_for(kReaderWait);  // nothing can arrive; wait to be stopped
        }
        m_readerDone = true;
        return;
    }
    // Runs until the events are closed; a record already handed over by then is dispatched
    // first.
    while (true) {
        const NamedEvent::WaitResult result = m_full->Wait(kReaderWait);
        if (result == NamedEvent::WaitResult::Closed) {
            break;
        }
        if (result == NamedEvent::WaitResult::TimedOut) {
            if (!m_bCapturing.load()) {
                break;
            }
            continue;
        }
        // Only the header is copied; the data stay in the buffer until dispatch gives it back.
        // A length written by another process is cut to what the buffer holds.
        const std::uint8_t* base = m_buffer->data();
        m_pending.header = ReadCaptureRecord(
            std::span<const std::uint8_t, kCaptureHeaderSize>(base, kCaptureHeaderSize));
        m_pending.header.providerData = kCaptureHeaderSize;
        const std::size_t length =
            std::min<std::size_t>(m_pending.header.dataLength, VANTOR_MAX_RECORD_DATA);
        m_pending.data = {base + kCaptureHeaderSize, length};
        if (!m_window.Call(m_onCaptureRecord)) {
            break;
        }
    }
    m_readerDone = true;
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
}

void CaptureChannel::Shutdown() {
    if (m_reader.joinable()) {
        StopCapture();
    }
}

void CaptureChannel::ResetFull() {
    if (m_full != nullptr) {
        m_full->Reset();
    }
}

void CaptureChannel::SetEmpty() {
    if (m_empty != nullptr) {
        m_empty->Set();
    }
}

}  // namespace vantor
