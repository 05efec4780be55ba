#include "app/CSnifferApp.h"

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <utility>

#include <unistd.h>

#include "app/TerminalCommand.h"
#include "capture/CaptureChannel.h"
#include "capture/CaptureSession.h"
#include "capture/KeyLogFiles.h"
#include "capture/ProviderInstaller.h"
#include "content/MessageParts.h"
#include "exporters/HarWriter.h"
#include "framework/FileErrors.h"
#include "framework/Profile.h"
#include "options/AppStrings.h"
#include "options/Options.h"
#include "options/SettingsPersistence.h"
#include "platform/AsciiText.h"
#include "platform/InstanceLock.h"
#include "platform/InstanceSignal.h"
#include "platform/ProtocolCatalog.h"
#include "platform/SettingsStore.h"
#include "platform/XdgPaths.h"
#include "sources/PcapImport.h"
#include "system/SystemHelper.h"

namespace vantor {

namespace {

// share/vantor/help beside the program's bin/ folder, where the build and an installation put
// the pages; empty when no pages are there.
std::filesystem::path ProgramFolder() {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : program.parent_path();
}

std::string HelpPagesBesideProgram() {
    const std::filesystem::path program = ProgramFolder();
    if (program.empty()) {
        return {};
    }
    std::error_code error;
    const std::filesystem::path folder = program.parent_path() / "share" / "vantor" / "help";
    return std::filesystem::is_directory(folder / "vantor", error) ? folder.string() + "/" : "";
}

}  // namespace

AppPaths AppPaths::ForCurrentUser() {
    return AppPaths{
        SettingsStore::CurrentUserFile().string(),    SettingsStore::LocalMachineFile().string(),
        ProtocolCatalog::DefaultFile().string(),      ProviderInstaller::DefaultProviderPath(),
        CaptureChannel::DefaultSocketPath().string(), HelpPagesBesideProgram(),
        (ProgramFolder() / "vantor-run").string()};
}

CSnifferApp::CSnifferApp(AppShell& shell, AppPaths paths)
    : m_shell(shell), m_paths(std::move(paths)) {}

CSnifferApp::~CSnifferApp() = default;

bool CSnifferApp::InitInstance(const std::vector<std::string>& arguments) {
    // The lock, the instance socket and the capture channel live in the private runtime
    // folder; one that someone else controls would let them fake or spy on all three.
    if (const auto problem = PreparePrivateRuntimeFolder()) {
        m_shell.ShowMessage(FormatMessageText(kTextCannotStart, *problem), kApplicationName,
                            MessageIcon::Error);
        return false;
    }
    m_instanceLock = InstanceLock::TryAcquire(std::string(kInstanceLockName), "vantor");
    if (m_instanceLock == nullptr) {
        // The running copy brings its window forward when it answers; this copy ends either
        // way, and says why when no window came forward.
        std::string document;
        if (!arguments.empty()) {
            std::error_code error;
            const std::filesystem::path absolute =
                std::filesystem::absolute(arguments.front(), error);
            document = error ? std::string() : absolute.lexically_normal().string();
        }
        if (!InstanceSignal::SignalRunningCopy(std::string(kInstanceSignalName), document)) {
            TellWhatRuns();
        }
        return false;
    }
    m_started = true;
    m_instanceSignal = InstanceSignal::Listen(std::string(kInstanceSignalName));

    CaptureSession::Places places;
    places.protocolCatalog = m_paths.protocolCatalog;
    places.localMachineSettings = m_paths.localMachineSettings;
    places.providerLibrary = m_paths.providerLibrary;
    places.channelSocket = m_paths.channelSocket;
    m_session = std::make_unique<CaptureSession>(
        std::move(places), m_windowCalls, [this] { return &m_document; },
        [this](std::string_view message) {
            m_shell.ShowMessage(message, kApplicationName, MessageIcon::Error);
        },
        [this](const PendingRecord& record) { OnCaptureRecord(record.header, record.data); });
    m_session->InstallProvider();

    m_userStore = std::make_unique<SettingsStore>(m_paths.currentUserSettings);
    m_profile = std::make_unique<Profile>(*m_userStore, std::string(kApplicationKey));
    m_standard.Load(*m_profile);
    LoadSettings(*m_profile, GlobalOptions());
    CaptureOptionsChanged();
    // Only vantor-setup writes the help folder; until it has run, the pages beside the program
    // serve (the setting itself stays as it is).
    if (GlobalOptions().helpFolder.empty()) {
        GlobalOptions().helpFolder = m_paths.helpPagesBesideProgram;
    }

    if (!m_shell.CreateMainFrame()) {
        return false;
    }
    if (arguments.empty()) {
        m_document.OnNewDocument();
        m_document.SendInitialUpdate();
    } else if (!OpenDocumentFile(arguments.front())) {
        return false;
    }
    m_shell.DocumentChanged();
    m_shell.ShowMainFrame();
    if (GlobalOptions().runCount == 0) {
        m_shell.ShowMessage(kTextRunFirst, kTextImportantCaption, MessageIcon::Information);
    }
    return true;
}

void CSnifferApp::TellWhatRuns() {
    std::string text;
    const auto holder = InstanceLock::CurrentHolder(std::string(kInstanceLockName));
    if (holder && holder->program == "vantor-dump") {
        text = FormatMessageText(kTextDumpRuns, std::to_string(holder->pid));
    } else if (holder) {
        text = FormatMessageText(kTextCopyDoesNotAnswer, std::to_string(holder->pid));
    } else {
        text = std::string(kTextAnotherCopyRuns);
    }
    std::cerr << "vantor: " << text << '\n';
    m_shell.ShowMessage(text, kApplicationName, MessageIcon::Exclamation);
}

int CSnifferApp::ExitInstance() {
    if (!m_started) {
        m_instanceLock.reset();
        return 0;
    }
    m_allPrograms.reset();
    if (m_session != nullptr) {
        m_session->Shutdown();
        m_session->RemoveProvider();
    }
    // The recent-file list goes into the same write as the settings, before the lock is
    // released, so that a copy started next reads both.
    m_standard.Save(*m_profile);
    SaveSettings(*m_profile, GlobalOptions());
    m_instanceSignal.reset();
    m_instanceLock.reset();
    m_started = false;
    return 0;
}

bool CSnifferApp::IsCapturing() const {
    return m_session != nullptr && m_session->IsCapturing();
}

std::uint64_t CSnifferApp::LostRecords() const {
    return m_session != nullptr ? m_session->Counts().lostRecords : 0;
}

std::uint64_t CSnifferApp::UncapturedPrograms() const {
    return m_session != nullptr ? m_session->Counts().uncapturedPrograms : 0;
}

void CSnifferApp::OnIdle() {
    if (m_session != nullptr && m_session->IsCapturing()) {
        m_session->Tick();
    }
}

void CSnifferApp::StartCapture() {
    if (m_session != nullptr && !m_session->IsCapturing()) {
        if (const std::string& keyLog = Preferences().tls_key_log; !keyLog.empty()) {
            if (const auto refused = m_session->AddKeyLog(keyLog)) {
                ReportFailure(*refused);  // capture goes on; that TLS stays encrypted
            }
        }
        m_session->Start();
    }
}

void CSnifferApp::StopCapture() {
    if (m_allPrograms != nullptr) {
        m_allPrograms->Stop();
    }
    if (m_session != nullptr) {
        m_session->Stop();
    }
}

bool CSnifferApp::OnCaptureAllPrograms() {
    const std::string helper =
        (std::filesystem::path(m_paths.vantorRun).parent_path() / "vantor-system").string();
    const auto command = SystemHelperSource::Command(helper, ::getpid());
    if (!command) {
        ReportFailure(std::string(kTextNoAdministratorTool));
        return false;
    }
    StartCapture();
    if (m_allPrograms == nullptr) {
        m_allPrograms = std::make_unique<SystemHelperSource>(
            m_windowCalls,
            [this](const CaptureRecord& header, std::span<const std::uint8_t> data) {
                if (m_session != nullptr) {
                    m_session->dispatch().Dispatch(header, data);
                }
            },
            [this](const std::string& why) {
                ReportFailure(FormatMessageText(kTextAllProgramsEnded, why));
                m_shell.DocumentChanged();
            });
    }
    if (const auto failure = m_allPrograms->Start(*command)) {
        ReportFailure(*failure);
        return false;
    }
    return true;
}

bool CSnifferApp::IsCapturingAllPrograms() const {
    return m_allPrograms != nullptr && m_allPrograms->Running();
}

void CSnifferApp::CaptureOptionsChanged() {
    m_document.SetCaptureRules(CaptureRules::From(Preferences()));
}

void CSnifferApp::OnCaptureRecord(const CaptureRecord& header, std::span<const std::uint8_t> data) {
    m_session->dispatch().Dispatch(header, data);
}

std::string CSnifferApp::DocumentTitle() const {
    const std::string& path = m_document.GetPathName();
    if (path.empty()) {
        return std::string(kTextUntitled);
    }
    return std::filesystem::path(path).filename().string();
}

bool CSnifferApp::SaveModified() {
    if (!m_document.IsModified()) {
        return true;
    }
    switch (m_shell.AskSaveChanges(FormatMessageText(kTextSaveChanges, DocumentTitle()))) {
        case SaveAnswer::Cancel:
            return false;
        case SaveAnswer::No:
            return true;
        case SaveAnswer::Yes:
            break;
    }
    return OnFileSave();
}

bool CSnifferApp::AnswerInstanceCallers() {
    if (m_instanceSignal == nullptr) {
        return false;
    }
    const std::vector<std::string> requests = m_instanceSignal->AnswerCallers();
    for (const std::string& path : requests) {
        if (!path.empty()) {
            m_requestedDocuments.push_back(path);
        }
    }
    return !requests.empty();
}

void CSnifferApp::OpenRequestedDocuments() {
    const std::vector<std::string> requested = std::exchange(m_requestedDocuments, {});
    for (const std::string& path : requested) {
        OpenDocumentFile(path);
    }
}

bool CSnifferApp::OnFileNew() {
    if (!SaveModified()) {
        return false;
    }
    m_document.OnNewDocument();
    m_document.SendInitialUpdate();
    m_shell.DocumentChanged();
    return true;
}

bool CSnifferApp::OnFileOpen() {
    const std::optional<std::string> path = m_shell.AskOpenPath();
    if (!path) {
        return false;
    }
    return OpenDocumentFile(*path);
}

bool CSnifferApp::OpenDocumentFile(const std::string& name) {
    if (!SaveModified()) {
        return false;
    }
    // Kept whole, so that the recent-file entry still names the file from another folder.
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(name, error);
    const std::string path = error ? name : absolute.lexically_normal().string();
    // Read into a scratch document, so that a file that cannot be read leaves the document
    // shown as it was.
    CSnifferDoc loaded;
    loaded.SetCaptureRules(m_document.captureRules());
    if (const auto failure = loaded.OnOpenDocument(path)) {
        ReportFailure(*failure);
        return false;
    }
    m_document.TakeContentsFrom(loaded);
    m_document.SetPathName(path);
    m_document.SetModifiedFlag(false);
    m_document.SendInitialUpdate();
    m_standard.recentFiles.Add(path);
    m_shell.DocumentChanged();
    return true;
}

bool CSnifferApp::OnOpenRecentFile(std::size_t index) {
    const auto& entries = m_standard.recentFiles.entries();
    if (index >= entries.size()) {
        return false;
    }
    const std::string path = entries[index];
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
        // A file that is gone leaves the list, as the framework does.
        ReportFailure(FormatMessageText(kTextFileNotFound, path));
        m_standard.recentFiles.Remove(index);
        m_shell.DocumentChanged();
        return false;
    }
    return OpenDocumentFile(path);
}

bool CSnifferApp::OnFileSave() {
    const std::string& path = m_document.GetPathName();
    return DoSave(path.empty() ? std::nullopt : std::optional<std::string>(path));
}

bool CSnifferApp::OnFileSaveAs() {
    return DoSave(std::nullopt);
}

bool CSnifferApp::OnOpenTerminal() {
    const auto command = TerminalCommand(
        m_paths.vantorRun,
        [](const std::string& name) -> std::optional<std::string> {
            const char* value = std::getenv(name.c_str());
            return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
        },
        FindProgramOnPath);
    if (!command) {
        ReportFailure(std::string(kTextNoTerminal));
        return false;
    }
    StartCapture();
    if (!m_shell.StartDetached(*command)) {
        ReportFailure(FormatMessageText(kTextTerminalNotStarted, command->front()));
        return false;
    }
    return true;
}

bool CSnifferApp::OnFileExportHar() {
    std::optional<std::string> path = m_shell.AskExportPath(DocumentTitle() + ".har");
    if (!path) {
        return false;
    }
    if (std::filesystem::path(*path).extension().empty()) {
        *path += ".har";
    }
    bool cancelled = false;
    const auto progress = m_shell.BeginProgress(
        FormatMessageText(kTextExporting, std::filesystem::path(*path).filename().string()));
    const auto failure =
        ExportHarFile(*path, m_document, [&](std::uint64_t done, std::uint64_t total) {
            cancelled = progress != nullptr && !progress->Update(done, total);
            return !cancelled;
        });
    if (failure) {
        ReportFailure(*failure);
        return false;
    }
    return !cancelled;
}

bool CSnifferApp::OnFileImportCapture() {
    const std::optional<std::string> path = m_shell.AskImportPath();
    if (!path || !SaveModified()) {
        return false;
    }
    const std::string name = std::filesystem::path(*path).filename().string();
    // Read into a scratch document: a cancelled import leaves the document shown as it was, and
    // capture meanwhile goes on into it.
    CSnifferDoc imported;
    imported.SetCaptureRules(m_document.captureRules());
    imported.OnNewDocument();
    CaptureDispatch dispatch([&imported] { return &imported; });
    KeyLogFiles keyLogs;
    if (const std::string& keyLog = Preferences().tls_key_log; !keyLog.empty()) {
        if (const auto refused = keyLogs.Add(keyLog)) {
            ReportFailure(*refused);  // imported all the same; its TLS stays encrypted
        }
    }
    dispatch.Tick(keyLogs);
    CaptureImportResult result;
    {
        const auto progress = m_shell.BeginProgress(FormatMessageText(kTextImporting, name));
        result = ImportCaptureFile(*path, dispatch, imported,
                                   [&progress](std::uint64_t done, std::uint64_t total) {
                                       return progress == nullptr || progress->Update(done, total);
                                   });
    }
    if (result.cancelled) {
        return false;
    }
    if (imported.messages().empty()) {
        ReportFailure(result.error.empty() ? FormatMessageText(kTextNoHttpInCapture, name) + ": " +
                                                 DescribeImport(result) + "."
                                           : result.error);
        return false;
    }
    m_document.TakeContentsFrom(imported);
    m_document.SetPathName("");
    m_document.SetModifiedFlag(true);
    m_document.SendInitialUpdate();
    m_shell.DocumentChanged();
    if (!result.error.empty()) {
        ReportFailure(result.error);  // what was read is shown all the same
    }
    return true;
}

bool CSnifferApp::OnRunProgram() {
    RunOptions& run = GlobalOptions().run;
    const std::optional<ProgramToRun> chosen = m_shell.AskProgramToRun(run.commands, run.folders);
    if (!chosen) {
        return false;
    }
    const std::string commandLine(TrimBlanksAndCr(chosen->commandLine));
    if (commandLine.empty()) {
        return false;
    }
    const std::string givenFolder(TrimBlanksAndCr(chosen->folder));
    std::string folder = givenFolder;
    if (folder.empty()) {
        const char* home = std::getenv("HOME");
        folder = home != nullptr && *home != '\0' ? home : "/";
    }
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) {
        ReportFailure(FormatMessageText(kTextNoSuchFolder, folder));
        return false;
    }
    run.commands.Add(commandLine);
    run.folders.Add(givenFolder);  // no folder given: nothing to remember
    if (const auto program = ProgramOfCommandLine(commandLine)) {
        // A relative path names a file in the folder the program runs in.
        const std::string lookedUp =
            program->find('/') != std::string::npos && program->front() != '/'
                ? (std::filesystem::path(folder) / *program).string()
                : *program;
        if (!FindProgramOnPath(lookedUp)) {
            ReportFailure(FormatMessageText(kTextProgramNotFound, *program));
            return false;
        }
    }
    StartCapture();
    if (!m_shell.RunInLogWindow(CapturedShellCommand(m_paths.vantorRun, commandLine), folder,
                                commandLine)) {
        ReportFailure(FormatMessageText(kTextTerminalNotStarted, commandLine));
        return false;
    }
    return true;
}

bool CSnifferApp::DoSave(std::optional<std::string> path) {
    if (!path) {
        std::string suggested = m_document.GetPathName();
        if (suggested.empty()) {
            suggested = DocumentTitle() + std::string(kDocumentExtension);
        }
        path = m_shell.AskSavePath(suggested);
        if (!path) {
            return false;
        }
        if (std::filesystem::path(*path).extension().empty()) {
            *path += kDocumentExtension;
        }
    }
    if (const auto failure = m_document.OnSaveDocument(*path)) {
        ReportFailure(*failure);
        return false;
    }
    m_standard.recentFiles.Add(*path);
    m_shell.DocumentChanged();
    return true;
}

void CSnifferApp::ReportFailure(const std::string& message) {
    m_shell.ShowMessage(message, kApplicationName, MessageIcon::Exclamation);
}

}  // namespace vantor
