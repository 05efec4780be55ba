#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "capture/CaptureDispatch.h"

namespace vantor {

class BlockingCallQueue;

inline constexpr std::string_view kTextCannotCreateEvent = "Fatal Error: Cannot create event.";

// Vantor's end of the capture channel (capture/ChannelLayout.h): a Unix socket in the private
// runtime folder that captured processes connect to, each with a ring of its own, and the
// reader thread that takes the committed records of every ring, puts each connection's records
// in the order their bytes moved, and has the window thread dispatch them, a batch per call.
// A process that stops, dies or misbehaves holds up nothing but its own ring.
class CaptureChannel {
public:
    // socketPath: where capture listens (in a folder that only the user can change). window:
    // the window thread's queue of blocking calls. onCaptureRecord: dispatch of a record, run
    // on the window thread for each record of a batch. showMessage: how the program shows the
    // user a message.
    CaptureChannel(std::filesystem::path socketPath, BlockingCallQueue& window,
                   std::function<void(const PendingRecord&)> onCaptureRecord,
                   std::function<void(std::string_view)> showMessage);
    ~CaptureChannel();
    CaptureChannel(const CaptureChannel&) = delete;
    CaptureChannel& operator=(const CaptureChannel&) = delete;

    // Where this user's Vantor listens: the socket in the private runtime folder.
    static std::filesystem::path DefaultSocketPath();

    // Listens at the socket path and starts the reader. Only while stopped. When that fails,
    // shows kTextCannotCreateEvent, leaves nothing behind and stays stopped: false.
    bool StartCapture();
    // Ends the reader, lets every ring go and stops listening. Only while capturing; on the
    // window thread, which meanwhile runs the reader's pending call, so that records already
    // committed are dispatched first.
    void StopCapture();
    // The exit sequence's first step: stops capture if it runs.
    void Shutdown();
    bool IsCapturing() const { return m_bCapturing.load(); }
    // Records lost since capture last started: dropped by programs whose ring stayed full for
    // too long, written half by programs that ended (killed, crashed) meanwhile, or broken.
    std::uint64_t LostRecords() const { return m_lostRecords.load() + m_droppedRecords.load(); }
    // Of those, the ones programs dropped because their ring stayed full too long.
    std::uint64_t DroppedRecords() const { return m_droppedRecords.load(); }
    // Programs that connected but could not be captured: no memory for their ring.
    std::uint64_t UncapturedPrograms() const { return m_uncaptured.load(); }
    // Programs whose rings are read now.
    std::size_t Writers() const { return m_writers.load(); }
    const std::filesystem::path& socketPath() const { return m_socketPath; }

private:
    struct Writer;
    bool Listen();
    void StopListening();
    void CaptureReaderProc();
    void AcceptWriters(std::vector<std::unique_ptr<Writer>>& writers);
    // On the window thread: dispatches each record in turn.
    void DispatchBatch(const std::vector<PendingRecord>& batch);

    std::filesystem::path m_socketPath;
    BlockingCallQueue& m_window;
    std::function<void(const PendingRecord&)> m_onCaptureRecord;
    std::function<void(std::string_view)> m_showMessage;

    std::atomic<bool> m_bCapturing{false};
    std::atomic<bool> m_readerDone{true};
    std::atomic<std::uint64_t> m_lostRecords{0};
    std::atomic<std::uint64_t> m_droppedRecords{0};
    std::atomic<std::uint64_t> m_uncaptured{0};
    std::atomic<std::size_t> m_writers{0};
    int m_listener = -1;
    int m_wake = -1;  // an eventfd that wakes the reader for a stop
    std::thread m_reader;
};

}  // namespace vantor
