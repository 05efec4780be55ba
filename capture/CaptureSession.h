#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "capture/CaptureChannel.h"
#include "capture/CaptureDispatch.h"
#include "capture/KeyLogFiles.h"
#include "capture/ProviderInstaller.h"
#include "platform/ProtocolCatalog.h"
#include "platform/SettingsStore.h"

namespace vantor {

class BlockingCallQueue;
class MessageSink;

// What a capture counted since it last started, for the program to tell.
struct CaptureCounts {
    std::uint64_t lostRecords = 0;         // all records lost, the dropped ones included
    std::uint64_t droppedRecords = 0;      // dropped by programs whose ring stayed full too long
    std::uint64_t uncapturedPrograms = 0;  // no memory for their ring
    std::uint64_t leftOutBytes = 0;        // of connections joined part way (HTTP/2 frames)
};

// One capture as the window and vantor-dump both run it: the provider installed in the
// protocol catalog, the channel that reads the captured programs' rings, and dispatch into the
// document. Records reach the document on the thread that runs the window queue.
class CaptureSession {
public:
    // Where the parts live (the defaults: the user's runtime folder and the machine's files).
    struct Places {
        std::string protocolCatalog = ProtocolCatalog::DefaultFile().string();
        std::string localMachineSettings = SettingsStore::LocalMachineFile().string();
        std::string providerLibrary = ProviderInstaller::DefaultProviderPath();
        std::string channelSocket = CaptureChannel::DefaultSocketPath().string();
    };
    // onRecord: what becomes of each record, on the window thread (nothing given: it is
    // dispatched); showMessage: how the program shows the user a message.
    CaptureSession(Places places, BlockingCallQueue& window, std::function<MessageSink*()> document,
                   std::function<void(std::string_view)> showMessage,
                   std::function<void(const PendingRecord&)> onRecord = {});
    ~CaptureSession();
    CaptureSession(const CaptureSession&) = delete;
    CaptureSession& operator=(const CaptureSession&) = delete;

    // Puts the provider in the catalog (what an earlier run left removed first); false when a
    // step failed, and nothing will be captured. Removing takes it out again.
    bool InstallProvider();
    void RemoveProvider();
    const std::filesystem::path& catalogFile() const { return m_catalog.file(); }

    // Starts reading the captured programs' rings; false (and said) when the channel cannot be
    // made. Stopping dispatches what was committed first. Shutdown stops a running capture.
    bool Start() { return m_channel.StartCapture(); }
    void Stop();
    void Shutdown() { m_channel.Shutdown(); }
    bool IsCapturing() const { return m_channel.IsCapturing(); }

    CaptureDispatch& dispatch() { return m_dispatch; }
    CaptureCounts Counts() const;

    // A key log the user names, to decrypt TLS with; why it was refused, or nothing.
    std::optional<std::string> AddKeyLog(const std::string& path) { return m_keyLogs.Add(path); }
    // Now and then while capturing, on the window thread: the key logs of captured programs and
    // the user's are read, and TLS connections that waited for their keys go on.
    void Tick();

private:
    SettingsStore m_localMachine;
    ProtocolCatalog m_catalog;
    ProviderInstaller m_installer;
    CaptureDispatch m_dispatch;
    KeyLogFiles m_keyLogs;
    std::filesystem::path m_runtimeFolder;  // where vantor-run puts programs' key logs
    std::chrono::steady_clock::time_point m_nextFolderScan{};
    std::function<void(const PendingRecord&)> m_onRecord;
    CaptureChannel m_channel;
};

}  // namespace vantor
