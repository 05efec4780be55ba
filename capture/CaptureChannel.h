#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
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

// Vantor's end of the capture channel: the two events and the 1 MiB buffer, and the reader
// thread that waits for a filled buffer and has the window thread dispatch the record.
class CaptureChannel : public CaptureSignals {
public:
    // channelFile: where the tag of each capture run is published for the providers (in a
    // folder that only the user can change). pending: the one copy of the record header that
    // dispatch reads. window: the window thread's queue of blocking calls. onCaptureRecord:
    // dispatch, run on the window thread. showMessage: how the program shows the user a
    // message.
    CaptureChannel(std::filesystem::path channelFile, PendingRecord& pending,
                   BlockingCallQueue& window, std::function<void()> onCaptureRecord,
                   std::function<void(std::string_view)> showMessage);
    ~CaptureChannel() override;
    CaptureChannel(const CaptureChannel&) = delete;
    CaptureChannel& operator=(const CaptureChannel&) = delete;

    // Creates the events and the buffer under a new random tag, publishes the tag and starts
    // the reader. Only while stopped. When any of it fails, shows kTextCannotCreateEvent,
    // leaves nothing behind and stays stopped: false.
    bool StartCapture();
    // Ends the reader and closes the objects. Only while capturing; on the window thread, which
    // meanwhile runs the reader's pending call, so that a record being handed over is
    // dispatched before the buffer goes away.
    void StopCapture();
    // The exit sequence's first step: stops capture if it runs.
    void Shutdown();
    bool IsCapturing() const { return m_bCapturing.load(); }
    // Records lost because the program writing them ended half way (killed, crashed) and the
    // buffer was taken back from it, since capture last started.
    std::uint64_t LostRecords() const { return m_lostRecords.load(); }
    // The names of the running capture's objects (empty ones while stopped).
    const ChannelNames& names() const { return m_names; }

    // Dispatch gives the buffer back through these.
    void ResetFull() override;
    void SetEmpty() override;

private:
    bool CreateObjects();
    void DeleteObjects();
    void CaptureReaderProc();
    // Gives the buffer back when the writer that took it has ended without handing it over.
    void TakeBackAbandonedBuffer();

    std::filesystem::path m_channelFile;
    ChannelNames m_names;
    PendingRecord& m_pending;
    BlockingCallQueue& m_window;
    std::function<void()> m_onCaptureRecord;
    std::function<void(std::string_view)> m_showMessage;

    std::atomic<bool> m_bCapturing{false};
    std::atomic<bool> m_readerDone{true};
    std::atomic<std::uint64_t> m_lostRecords{0};
    std::unique_ptr<NamedEvent> m_full;
    std::unique_ptr<NamedEvent> m_empty;
    std::unique_ptr<SharedMemory> m_buffer;
    std::thread m_reader;
};

}  // namespace vantor
