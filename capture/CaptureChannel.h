#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "capture/CaptureDispatch.h"

namespace vantor {

class BlockingCallQueue;
class NamedEvent;
class SharedMemory;

inline constexpr std::string_view kTextCannotCreateEvent = "Fatal Error: Cannot create event.";

// The names of one capture channel's three objects.
struct ChannelNames {
    std::string full;
    std::string empty;
    std::string buffer;

    // The channel of this user and runtime folder (see ChannelLayout.h).
    static ChannelNames ForTag(const std::string& tag);
    static std::string DefaultTag();
};

// Vantor's end of the capture channel: the two events and the 1 MiB buffer, and the reader
// thread that waits for a filled buffer and has the window thread dispatch the record.
class CaptureChannel : public CaptureSignals {
public:
    // pending: the one copy of the record header that dispatch reads. window: the window
    // thread's queue of blocking calls. onCaptureRecord: dispatch, run on the window thread.
    // showMessage: how the program shows the user a message.
    CaptureChannel(ChannelNames names, PendingRecord& pending, BlockingCallQueue& window,
                   std::function<void()> onCaptureRecord,
                   std::function<void(std::string_view)> showMessage);
    ~CaptureChannel() override;
    CaptureChannel(const CaptureChannel&) = delete;
    CaptureChannel& operator=(const CaptureChannel&) = delete;

    // Creates the events and the buffer and starts the reader. Only while stopped.
    void StartCapture();
    // Ends the reader and closes the objects. Only while capturing; on the window thread, which
    // meanwhile runs the reader's pending call, so that a record being handed over is
    // dispatched before the buffer goes away.
    void StopCapture();
    // The exit sequence's first step: stops capture if it runs.
    void Shutdown();
    bool IsCapturing() const { return m_bCapturing.load(); }

    // Dispatch gives the buffer back through these.
    void ResetFull() override;
    void SetEmpty() override;

private:
    void CaptureReaderProc();

    ChannelNames m_names;
    PendingRecord& m_pending;
    BlockingCallQueue& m_window;
    std::function<void()> m_onCaptureRecord;
    std::function<void(std::string_view)> m_showMessage;

    std::atomic<bool> m_bCapturing{false};
    std::atomic<bool> m_readerDone{true};
    std::unique_ptr<NamedEvent> m_full;
    std::unique_ptr<NamedEvent> m_empty;
    std::unique_ptr<SharedMemory> m_buffer;
    std::thread m_reader;
};

}  // namespace vantor
