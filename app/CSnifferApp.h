#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture/CaptureDispatch.h"
#include "document/CSnifferDoc.h"
#include "framework/StandardProfileSettings.h"
#include "options/InputHistory.h"
#include "platform/BlockingCallQueue.h"

namespace vantor {

class CaptureSession;
class SystemHelperSource;
class InstanceLock;
class InstanceSignal;
class SettingsStore;
class Profile;

inline constexpr std::string_view kTextImportantCaption = "Important!";
// The first-run notice, in the place and under the title of the original's, saying how capture
// works here: a program is captured when it is started through vantor-run while Vantor captures.
inline constexpr std::string_view kTextRunFirst =
    "Vantor captures the programs you start with vantor-run while it captures: choose "
    "Capture > Start, then start a program as \"vantor-run PROGRAM\" in a terminal. Programs "
    "started any other way are not captured.";
inline constexpr std::string_view kTextCannotStart = "Vantor cannot start: %1.";
inline constexpr std::string_view kTextNoTerminal =
    "No terminal emulator was found. Set TERMINAL to the one to use, or install one.";
inline constexpr std::string_view kTextTerminalNotStarted = "%1 could not be started.";
// Capture > Capture All Programs...
inline constexpr std::string_view kTextNoAdministratorTool =
    "Capturing all programs needs root: neither pkexec nor sudo was found to ask for an "
    "administrator's password.";
inline constexpr std::string_view kTextAllProgramsEnded = "Capturing all programs ended: %1";
inline constexpr std::string_view kTextProgramNotFound =
    "The program %1 was not found. Check its name, or give its full path.";
inline constexpr std::string_view kTextNoSuchFolder = "The folder %1 does not exist.";
inline constexpr std::string_view kTextImporting = "Importing %1...";
inline constexpr std::string_view kTextExporting = "Exporting %1...";
inline constexpr std::string_view kTextNoHttpInCapture = "No HTTP was found in %1";
// Why a second copy ends at once when no window of the running one came forward.
inline constexpr std::string_view kTextDumpRuns =
    "Vantor is already capturing in vantor-dump (process %1). Stop it (Ctrl-C in its terminal, "
    "or kill %1), then start Vantor again.";
inline constexpr std::string_view kTextCopyDoesNotAnswer =
    "Vantor is already running (process %1) but its window does not answer. End that process, "
    "then start Vantor again.";
inline constexpr std::string_view kTextAnotherCopyRuns =
    "Vantor is already running for this user and cannot be asked to show its window.";
inline constexpr std::string_view kTextSaveChanges = "Save changes to %1?";
inline constexpr std::string_view kTextUntitled = "Untitled";
inline constexpr std::string_view kDocumentExtension = ".vtr";
inline constexpr std::string_view kDocumentFilter = "HTTP Files (*.vtr)";
inline constexpr std::string_view kAboutTitle = "About Vantor";
inline constexpr std::string_view kAboutText = "Vantor  0.9";
inline constexpr std::string_view kInstanceSignalName = "VANTOR_START";

enum class MessageIcon { Information, Exclamation, Error };

// How far a long import or export has come, shown with a way to cancel it.
class ProgressTask {
public:
    virtual ~ProgressTask() = default;
    // done of total (total 0: not known); false once the user has cancelled.
    virtual bool Update(std::uint64_t done, std::uint64_t total) = 0;
};

// Capture > Run Program...: a shell command line and the folder it runs in (empty: the user's
// home folder).
struct ProgramToRun {
    std::string commandLine;
    std::string folder;
};
enum class SaveAnswer { Yes, No, Cancel };

// What the application needs of its windows: the main frame, message boxes and file dialogs.
class AppShell {
public:
    virtual ~AppShell() = default;
    // Creates the main frame with its two views on the application's document; false when it
    // could not be made.
    virtual bool CreateMainFrame() = 0;
    virtual void ShowMainFrame() = 0;
    // Brings the main frame forward, restoring it when it is minimised.
    virtual void RaiseMainFrame() = 0;
    virtual void ShowMessage(std::string_view text, std::string_view caption, MessageIcon icon) = 0;
    virtual SaveAnswer AskSaveChanges(std::string_view text) = 0;
    // The file dialogs; nothing when the user cancelled.
    virtual std::optional<std::string> AskOpenPath() = 0;
    virtual std::optional<std::string> AskSavePath(const std::string& suggested) = 0;
    // File > Export HAR...: where to write the archive.
    virtual std::optional<std::string> AskExportPath(const std::string& suggested) = 0;
    // File > Import Capture...: the packet capture to read.
    virtual std::optional<std::string> AskImportPath() = 0;
    // Shows how a long task goes, with a way to cancel it, while the object lives (only once it
    // has taken more than a moment).
    virtual std::unique_ptr<ProgressTask> BeginProgress(std::string_view text) = 0;
    // Capture > Run Program...: the command line and folder, offered from their histories.
    virtual std::optional<ProgramToRun> AskProgramToRun(const InputHistory& commands,
                                                        const InputHistory& folders) = 0;
    // Starts a program in folder, its output and errors kept in a log window titled title;
    // false when it could not be started.
    virtual bool RunInLogWindow(const std::vector<std::string>& command, const std::string& folder,
                                const std::string& title) = 0;
    // Starts a program on its own, not waiting for it; false when it could not be started.
    virtual bool StartDetached(const std::vector<std::string>& command) = 0;
    // The document's title, its file or the recent-file list changed.
    virtual void DocumentChanged() = 0;
};

// Where the application keeps its state; the defaults are the user's own folders.
struct AppPaths {
    std::string currentUserSettings;
    std::string localMachineSettings;
    std::string protocolCatalog;
    std::string providerLibrary;
    // Where the running capture's channel is published for the capture provider.
    std::string channelSocket;
    // The help folder to use while the settings name none (no vantor-setup yet): the pages
    // beside the program, ending in "/", or empty when there are none.
    std::string helpPagesBesideProgram;
    // vantor-run, beside the program.
    std::string vantorRun;
    static AppPaths ForCurrentUser();
};

// The application: one copy per user, the capture provider installed while it runs, the
// settings loaded at start and saved at exit, one document with its capture path, and the
// document commands.
class CSnifferApp {
public:
    CSnifferApp(AppShell& shell, AppPaths paths);
    ~CSnifferApp();
    CSnifferApp(const CSnifferApp&) = delete;
    CSnifferApp& operator=(const CSnifferApp&) = delete;

    // Start-up; false ends the program (ExitInstance is still to be called). arguments are the
    // command line's, without the program name.
    bool InitInstance(const std::vector<std::string>& arguments);
    // The exit sequence; the process's exit status.
    int ExitInstance();

    CSnifferDoc& document() { return m_document; }
    BlockingCallQueue& windowCalls() { return m_windowCalls; }
    // The running copy's end of the instance signal, once start-up got past the lock.
    InstanceSignal* instanceSignal() const { return m_instanceSignal.get(); }
    // Answers the copies started meanwhile, keeping the documents they were started with;
    // false when none asked (the window then has no reason to come forward).
    bool AnswerInstanceCallers();
    // Opens those documents, each as File > Open would (asking to save a modified one first).
    bool HasRequestedDocuments() const { return !m_requestedDocuments.empty(); }
    void OpenRequestedDocuments();
    bool IsCapturing() const;
    // Called every few hundred milliseconds on the window thread: key logs are read and TLS
    // connections that waited for their keys go on.
    void OnIdle();
    // Records this capture lost: captured programs that ended while handing one over.
    std::uint64_t LostRecords() const;
    // Programs that could not be captured: no memory for their capture ring.
    std::uint64_t UncapturedPrograms() const;
    const RecentFileList& recentFiles() const { return m_standard.recentFiles; }

    // Capture commands.
    void StartCapture();
    void StopCapture();
    // The capture options changed (loaded, or set in their dialog): the document grows
    // messages by them from now on.
    void CaptureOptionsChanged();
    // Each capture record, on the window thread: dispatched to the document.
    void OnCaptureRecord(const CaptureRecord& header, std::span<const std::uint8_t> data);

    // Document commands. Each returns whether it was carried out.
    bool OnFileNew();
    bool OnFileOpen();
    bool OpenDocumentFile(const std::string& path);
    bool OnOpenRecentFile(std::size_t index);
    bool OnFileSave();
    bool OnFileSaveAs();
    // Exports the document as an HTTP Archive to a file the user names.
    bool OnFileExportHar();
    // Reads a packet capture the user names into the document, in place of what it held (after
    // asking to save it); a cancelled import leaves it as it was, a file that ends early gives
    // what was read and says why.
    bool OnFileImportCapture();
    // Capture > Run Program...: starts capture if it is stopped and runs the command line the
    // user gives through vantor-run, its output in a log window. False, having said why, when
    // the folder or program does not exist or it could not be started.
    bool OnRunProgram();
    // Capture > Open Terminal: starts capture if it is stopped and opens the desktop's terminal
    // emulator running the user's shell through vantor-run. False, having said why, when no
    // terminal emulator was found or it could not be started.
    bool OnOpenTerminal();
    // Capture > Capture All Programs...: starts capture if it is stopped, and the system-wide
    // capture through its privileged helper (the desktop asks for an administrator's password);
    // Capture > Stop, or closing the window, ends it. False, having said why, when the helper
    // cannot be started.
    bool OnCaptureAllPrograms();
    bool IsCapturingAllPrograms() const;
    // Asks whether to save a modified document first; false when the user cancelled (or the
    // save failed).
    bool SaveModified();
    // "Untitled", or the document file's name.
    std::string DocumentTitle() const;

private:
    bool DoSave(std::optional<std::string> path);
    // Says, in the window and on standard error, what runs instead of this copy.
    void TellWhatRuns();
    void ReportFailure(const std::string& message);

    AppShell& m_shell;
    AppPaths m_paths;
    CSnifferDoc m_document;
    BlockingCallQueue m_windowCalls;
    std::unique_ptr<CaptureSession> m_session;
    std::unique_ptr<SystemHelperSource> m_allPrograms;
    std::unique_ptr<InstanceLock> m_instanceLock;
    std::unique_ptr<InstanceSignal> m_instanceSignal;
    std::vector<std::string> m_requestedDocuments;  // by copies started meanwhile
    std::unique_ptr<SettingsStore> m_userStore;
    std::unique_ptr<Profile> m_profile;
    StandardProfileSettings m_standard;
    bool m_started = false;
};

}  // namespace vantor
