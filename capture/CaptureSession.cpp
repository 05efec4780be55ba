#include "capture/CaptureSession.h"

namespace vantor {

CaptureSession::CaptureSession(Places places, BlockingCallQueue& window,
                               std::function<MessageSink*()> document,
                               std::function<void(std::string_view)> showMessage,
                               std::function<void(const PendingRecord&)> onRecord)
    : m_localMachine(places.localMachineSettings),
      m_catalog(places.protocolCatalog),
      m_installer(m_catalog, m_localMachine, places.providerLibrary),
      m_dispatch(std::move(document)),
      m_runtimeFolder(std::filesystem::path(places.channelSocket).parent_path()),
      m_onRecord(std::move(onRecord)),
      m_channel(
          places.channelSocket, window,
          [this](const PendingRecord& record) {
              if (m_onRecord) {
                  m_onRecord(record);
              } else {
                  m_dispatch.Dispatch(record);
              }
          },
          std::move(showMessage)) {}

CaptureSession::~CaptureSession() = default;

bool CaptureSession::InstallProvider() {
    return m_installer.InstallProvider();
}

void CaptureSession::RemoveProvider() {
    m_installer.RemoveProvider();
}

void CaptureSession::Stop() {
    if (m_channel.IsCapturing()) {
        m_channel.StopCapture();
        m_nextFolderScan = {};
        Tick();  // keys logged as the last records came
        m_keyLogs.RemoveProgramKeyLogs(m_runtimeFolder);
    }
}

void CaptureSession::Tick() {
    // New programs' key logs are looked for a few times a second, not on every turn of a loop.
    const auto now = std::chrono::steady_clock::now();
    if (now >= m_nextFolderScan) {
        m_keyLogs.FollowProgramKeyLogs(m_runtimeFolder);
        m_nextFolderScan = now + std::chrono::milliseconds(200);
    }
    m_dispatch.Tick(m_keyLogs);
}

CaptureCounts CaptureSession::Counts() const {
    CaptureCounts counts;
    counts.lostRecords = m_channel.LostRecords();
    counts.droppedRecords = m_channel.DroppedRecords();
    counts.uncapturedPrograms = m_channel.UncapturedPrograms();
    counts.leftOutBytes = m_dispatch.LeftOutBytes();
    return counts;
}

}  // namespace vantor
