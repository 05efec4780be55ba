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
class NamedEvent;
class SharedMemory;

inline constexpr std::string_view kTextCannotCreateEvent = "Fatal Error: Cannot create event.";

// The names of one capture run's three objects.
struct ChannelNames {
    std::string full;
    std::string empty;
    std::string buffer;

    static ChannelNames ForTag(const std::string& tag);
    // A tag nobody can guess: 32 hexadecimal digits from the kernel's random source; empty
    // when that source fails.
    static std::string RandomTag();
    // Where this user's Vantor publishes the tag of the running capture: the channel file in
    // the private runtime folder.
    static std::filesystem::path DefaultChannelFile();
};

// Vantor's end of the capture channel: the two events and the ring, and the reader thread
// that waits for committed records and has the window thread dispatch them, a batch per call.
class CaptureChannel {
public:
    // channelFile: where the tag of each capture run is published for the providers (in a
    // folder that only the user can change). pending: the one copy of the record header that
    // dispatch reads. window: the window thread's queue of blocking calls. onCaptureRecord:
    // dispatch of the pending record, run on the window thread for each record of a batch.
    // showMessage: how the program shows the user a message.
    CaptureChannel(std::filesystem::path channelFile, PendingRecord& pending,
                   BlockingCallQueue& window, std::function<void()> onCaptureRecord,
                   std::function<void(std::string_view)> showMessage);
    ~CaptureChannel();
    CaptureChannel(const CaptureChannel&) = delete;
    CaptureChannel& operator=(const CaptureChannel&) = delete;

    // Creates the events and the ring under a new random tag, publishes the tag and starts
    // the reader. Only while stopped. When any of it fails, shows kTextCannotCreateEvent,
    // leaves nothing behind and stays stopped: false.
    bool StartCapture();
    // Ends the reader and closes the objects. Only while capturing; on the window thread, which
    // meanwhile runs the reader's pending call, so that records already committed are
    // dispatched before the ring goes away.
    void StopCapture();
    // The exit sequence's first step: stops capture if it runs.
    void Shutdown();
    bool IsCapturing() const { return m_bCapturing.load(); }
    // Records lost since capture last started: dropped by programs that found the ring full
    // for too long, written half by programs that ended (killed, crashed) meanwhile, or broken.
    std::uint64_t LostRecords() const { return m_lostRecords.load() + m_droppedRecords.load(); }
    // Of those, the ones programs dropped because the ring stayed full too long.
    std::uint64_t DroppedRecords() const { return m_droppedRecords.load(); }
    // The names of the running capture's objects (empty ones while stopped).
    const ChannelNames& names() const { return m_names; }

private:
    bool CreateObjects();
    void DeleteObjects();
    void CaptureReaderProc();
    // On the window thread: dispatches each record in turn.
    void DispatchBatch(const std::vector<PendingRecord>& batch);

    std::filesystem::path m_channelFile;
    ChannelNames m_names;
    PendingRecord& m_pending;
    BlockingCallQueue& m_window;
    std::function<void()> m_onCaptureRecord;
    std::function<void(std::string_view)> m_showMessage;

    std::atomic<bool> m_bCapturing{false};
    std::atomic<bool> m_readerDone{true};
    std::atomic<std::uint64_t> m_lostRecords{0};
    std::atomic<std::uint64_t> m_droppedRecords{0};
    std::unique_ptr<NamedEvent> m_full;
    std::unique_ptr<NamedEvent> m_empty;
    std::unique_ptr<SharedMemory> m_buffer;
    std::thread m_reader;
};

}  // namespace vantor
