#include "app/CSnifferApp.h"
#include "capture/ChannelLayout.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "PacketFiles.h"
#include "ScopedEnvironment.h"
#include "ScopedUserFolders.h"
#include "TestSupport.h"
#include "UserSettings.h"
#include "capture/ProviderInstaller.h"
#include "framework/Profile.h"
#include "http/HTTPRequest.h"
#include "http/HTTPResponse.h"
#include "options/AppStrings.h"
#include "options/Options.h"
#include "platform/InstanceLock.h"
#include "platform/InstanceSignal.h"
#include "platform/ProtocolCatalog.h"
#include "platform/SettingsStore.h"
#include "platform/XdgPaths.h"

namespace vantor {
namespace {

using test::Bytes;
using test::Header;
using test::ScopedDefaultOptions;
using test::ScopedUserFolders;
using test::StoredRunCount;

// Windows that answer as a test tells them to, and write down what they were asked.
class FakeShell : public AppShell {
public:
    struct Message {
        std::string text;
        std::string caption;
        MessageIcon icon;
    };

    bool CreateMainFrame() override {
        ++framesCreated;
        return frameCanBeCreated;
    }
    void ShowMainFrame() override { ++framesShown; }
    void RaiseMainFrame() override {}
    void ShowMessage(std::string_view text, std::string_view caption, MessageIcon icon) override {
        messages.push_back({std::string(text), std::string(caption), icon});
    }
    SaveAnswer AskSaveChanges(std::string_view text) override {
        questions.emplace_back(text);
        return saveAnswer;
    }
    std::optional<std::string> AskOpenPath() override { return openPath; }
    std::optional<std::string> AskSavePath(const std::string& suggested) override {
        suggestedNames.push_back(suggested);
        return savePath;
    }
    std::optional<std::string> AskExportPath(const std::string& suggested) override {
        suggestedNames.push_back(suggested);
        return exportPath;
    }
    bool StartDetached(const std::vector<std::string>& command) override {
        started.push_back(command);
        return startSucceeds;
    }
    void DocumentChanged() override { ++documentChanges; }
    std::optional<std::string> AskImportPath() override { return importPath; }
    // Answers "go on" until cancelAfter updates, then "cancel".
    class Progress : public ProgressTask {
    public:
        explicit Progress(FakeShell& shell) : m_shell(shell) {}
        bool Update(std::uint64_t done, std::uint64_t total) override {
            m_shell.progress.emplace_back(done, total);
            return m_shell.progress.size() <= m_shell.cancelAfter;
        }

    private:
        FakeShell& m_shell;
    };
    std::unique_ptr<ProgressTask> BeginProgress(std::string_view text) override {
        progressTexts.emplace_back(text);
        return std::make_unique<Progress>(*this);
    }
    std::optional<ProgramToRun> AskProgramToRun(const InputHistory& commands,
                                                const InputHistory& folders) override {
        offeredCommands = commands;
        offeredFolders = folders;
        return programToRun;
    }
    bool RunInLogWindow(const std::vector<std::string>& command, const std::string& folder,
                        const std::string& title) override {
        logged.push_back({command, folder, title});
        return startSucceeds;
    }

    bool frameCanBeCreated = true;
    int framesCreated = 0;
    int framesShown = 0;
    int documentChanges = 0;
    std::vector<Message> messages;
    std::vector<std::string> questions;
    std::vector<std::string> suggestedNames;
    SaveAnswer saveAnswer = SaveAnswer::Cancel;
    std::optional<std::string> openPath;
    std::optional<std::string> savePath;
    std::optional<std::string> exportPath;
    std::vector<std::vector<std::string>> started;
    bool startSucceeds = true;
    std::optional<std::string> importPath;
    std::vector<std::string> progressTexts;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> progress;
    std::size_t cancelAfter = SIZE_MAX;
    std::optional<ProgramToRun> programToRun;
    InputHistory offeredCommands;
    InputHistory offeredFolders;
    struct Logged {
        std::vector<std::string> command;
        std::string folder;
        std::string title;
    };
    std::vector<Logged> logged;
};

// The files removed from or renamed into some folders, in the order it happened.
class FileEvents {
public:
    explicit FileEvents(const std::vector<std::filesystem::path>& folders)
        : m_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        for (const auto& folder : folders) {
            std::filesystem::create_directories(folder);
            ::inotify_add_watch(m_fd, folder.c_str(), IN_DELETE | IN_MOVED_TO);
        }
    }
    ~FileEvents() { ::close(m_fd); }
    FileEvents(const FileEvents&) = delete;
    FileEvents& operator=(const FileEvents&) = delete;

    std::vector<std::string> Names() {
        std::vector<std::string> names;
        alignas(inotify_event) char buffer[64 * 1024];
        for (ssize_t got; (got = ::read(m_fd, buffer, sizeof buffer)) > 0;) {
            for (char* at = buffer; at < buffer + got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(at);
                if (event->len > 0) {
                    names.emplace_back(event->name);
                }
                at += sizeof(inotify_event) + event->len;
            }
        }
        return names;
    }

private:
    int m_fd;
};

class CSnifferAppTest : public testing::Test {
protected:
    AppPaths Paths() const {
        AppPaths paths = AppPaths::ForCurrentUser();
        paths.providerLibrary = (user.path() / "libvtcap.so").string();
        return paths;
    }
    bool ProviderInstalled() const {
        const ProtocolCatalog catalog(ProtocolCatalog::DefaultFile());
        return ProviderInstaller::ActiveProviderPath(catalog).has_value();
    }
    void Capture(CSnifferApp& app, std::uint32_t connection, std::string_view request) {
        app.document().NewRequest(Header(1, 0, connection), Bytes(request));
    }
    std::string WriteFile(const std::string& name, std::string_view bytes) const {
        const std::string path = (user.path() / name).string();
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    ScopedDefaultOptions defaults;
    ScopedUserFolders user;
    FakeShell shell;
};

TEST_F(CSnifferAppTest, TheFirstRunNoticeShowsUntilTheProgramHasEndedOnce) {
    {
        CSnifferApp app(shell, Paths());
        ASSERT_TRUE(app.InitInstance({}));
        EXPECT_EQ(shell.framesCreated, 1);
        EXPECT_EQ(shell.framesShown, 1);
        EXPECT_TRUE(ProviderInstalled());
        ASSERT_EQ(shell.messages.size(), 1U);
        EXPECT_EQ(shell.messages[0].caption, "Important!");
        EXPECT_EQ(shell.messages[0].text,
                  "Vantor captures the programs you start with vantor-run while it captures: "
                  "choose Capture > Start, then start a program as \"vantor-run PROGRAM\" in a "
                  "terminal. Programs started any other way are not captured.");
        EXPECT_EQ(shell.messages[0].icon, MessageIcon::Information);
        EXPECT_EQ(StoredRunCount(), -1);
        EXPECT_EQ(app.ExitInstance(), 0);
        EXPECT_FALSE(ProviderInstalled());
        EXPECT_EQ(StoredRunCount(), 1);
    }
    GlobalOptions() = Options{};
    FakeShell second;
    CSnifferApp app(second, Paths());
    ASSERT_TRUE(app.InitInstance({}));
    EXPECT_TRUE(second.messages.empty());
    app.ExitInstance();
    EXPECT_EQ(StoredRunCount(), 2);
}

TEST_F(CSnifferAppTest, ASecondCopyHandsOverToTheRunningOneAndTouchesNothing) {
    CSnifferApp first(shell, Paths());
    ASSERT_TRUE(first.InitInstance({}));
    ASSERT_NE(first.instanceSignal(), nullptr);
    // The running copy's window thread, answering while the second copy asks.
    std::atomic<int> answered{0};
    std::thread window([&] {
        for (int i = 0; i < 200 && answered == 0; ++i) {
            answered += static_cast<int>(first.instanceSignal()->AnswerCallers().size());
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    FakeShell secondShell;
    {
        CSnifferApp second(secondShell, Paths());
        EXPECT_FALSE(second.InitInstance({}));
        window.join();
        EXPECT_EQ(second.ExitInstance(), 0);
    }
    EXPECT_EQ(answered, 1);
    EXPECT_EQ(secondShell.framesCreated, 0);
    EXPECT_TRUE(secondShell.messages.empty());
    EXPECT_TRUE(ProviderInstalled()) << "the first copy's provider stays";
    EXPECT_EQ(StoredRunCount(), -1) << "no settings written";

    // With the running copy not answering (its window busy), a second start still ends after
    // the wait, and says so.
    CSnifferApp third(secondShell, Paths());
    EXPECT_FALSE(third.InitInstance({}));
    EXPECT_EQ(secondShell.framesCreated, 0);
    ASSERT_EQ(secondShell.messages.size(), 1u);
    EXPECT_EQ(secondShell.messages[0].text,
              "Vantor is already running (process " + std::to_string(::getpid()) +
                  ") but its window does not answer. End that process, then start Vantor "
                  "again.");
    first.ExitInstance();
    EXPECT_EQ(StoredRunCount(), 1);
    EXPECT_FALSE(ProviderInstalled());
}

TEST_F(CSnifferAppTest, ADocumentASecondCopyWasStartedWithOpensInTheRunningOne) {
    // The file manager starts a second copy with a document; the running one opens it, asking
    // first about its own modified document, as File > Open would.
    const std::string given = WriteFile("given.vtr", std::string("\0\0", 2));
    CSnifferApp first(shell, Paths());
    ASSERT_TRUE(first.InitInstance({}));
    Capture(first, 7, "GET /a HTTP/1.1\r\n\r\n");
    std::atomic<bool> asked{false};
    std::thread window([&] {
        for (int i = 0; i < 200 && !asked; ++i) {
            asked = first.AnswerInstanceCallers();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const std::filesystem::path folder = std::filesystem::current_path();
    std::filesystem::current_path(std::filesystem::path(given).parent_path());
    FakeShell secondShell;
    {
        CSnifferApp second(secondShell, Paths());
        EXPECT_FALSE(second.InitInstance({"given.vtr"}));  // named as from its own folder
    }
    std::filesystem::current_path(folder);
    window.join();
    ASSERT_TRUE(asked.load());
    EXPECT_TRUE(secondShell.messages.empty()) << "the running copy answered";
    ASSERT_TRUE(first.HasRequestedDocuments());
    shell.saveAnswer = SaveAnswer::No;
    first.OpenRequestedDocuments();
    EXPECT_EQ(shell.questions, std::vector<std::string>{"Save changes to Untitled?"});
    EXPECT_EQ(first.document().GetPathName(), given);
    EXPECT_TRUE(first.document().messages().empty());
    EXPECT_FALSE(first.HasRequestedDocuments());
    first.ExitInstance();
}

TEST_F(CSnifferAppTest, AStartWhileVantorDumpCapturesSaysWhatRunsAndHowToStopIt) {
    // vantor-dump holds the lock and has no window to bring forward.
    const auto dump = InstanceLock::TryAcquire(std::string(kInstanceLockName), "vantor-dump");
    ASSERT_NE(dump, nullptr);
    CSnifferApp app(shell, Paths());
    EXPECT_FALSE(app.InitInstance({}));
    EXPECT_EQ(app.ExitInstance(), 0);
    ASSERT_EQ(shell.messages.size(), 1u);
    const std::string pid = std::to_string(::getpid());
    EXPECT_EQ(shell.messages[0].text, "Vantor is already capturing in vantor-dump (process " + pid +
                                          "). Stop it (Ctrl-C in its terminal, or kill " + pid +
                                          "), then start Vantor again.");
    EXPECT_EQ(shell.messages[0].icon, MessageIcon::Exclamation);
    EXPECT_EQ(shell.framesCreated, 0);
}

TEST_F(CSnifferAppTest, WithoutVantorSetupTheHelpPagesBesideTheProgramServe) {
    AppPaths paths = Paths();
    paths.helpPagesBesideProgram = (user.path() / "share" / "vantor" / "help").string() + "/";
    {
        CSnifferApp app(shell, paths);
        ASSERT_TRUE(app.InitInstance({}));
        EXPECT_EQ(GlobalOptions().helpFolder, paths.helpPagesBesideProgram);
        app.ExitInstance();
    }
    // Only vantor-setup writes the setting; the program found the pages, it did not set them.
    EXPECT_EQ(test::StoredProgramFolder(), std::nullopt);
    // The setting, once there, comes first.
    ASSERT_TRUE(test::StoreReturningUser("/opt/vantor/share/vantor/help/"));
    CSnifferApp again(shell, paths);
    ASSERT_TRUE(again.InitInstance({}));
    EXPECT_EQ(GlobalOptions().helpFolder, "/opt/vantor/share/vantor/help/");
    again.ExitInstance();
}

TEST_F(CSnifferAppTest, ADamagedFileOnTheCommandLineEndsTheProgramWithItsMessage) {
    const std::string path = WriteFile("damaged.vtr", "\x05\x00\x00\x00garbage");
    CSnifferApp app(shell, Paths());
    EXPECT_FALSE(app.InitInstance({path}));
    ASSERT_FALSE(shell.messages.empty());
    EXPECT_EQ(shell.messages[0].text, "Unexpected file format.");
    EXPECT_EQ(shell.messages[0].caption, "Vantor");
    EXPECT_EQ(shell.framesShown, 0);
    app.ExitInstance();
    EXPECT_FALSE(ProviderInstalled());
    EXPECT_EQ(StoredRunCount(), 1);
}

TEST_F(CSnifferAppTest, EndingWhileCapturingStopsCaptureThenRemovesTheProviderThenSaves) {
    CSnifferApp app(shell, Paths());
    ASSERT_TRUE(app.InitInstance({}));
    app.StartCapture();
    EXPECT_TRUE(app.IsCapturing());
    // The order in which the exit changes the files, as the kernel reports it: the channel
    // goes, then the catalog is replaced (the provider removed), then the settings file.
    FileEvents events({PrivateRuntimeFolder(), ProtocolCatalog::DefaultFile().parent_path(),
                       SettingsStore::CurrentUserFile().parent_path()});
    app.ExitInstance();
    EXPECT_FALSE(app.IsCapturing());
    EXPECT_FALSE(ProviderInstalled());
    EXPECT_EQ(StoredRunCount(), 1);
    const std::vector<std::string> order = events.Names();
    const auto at = [&](const std::string& name) {
        return std::find(order.begin(), order.end(), name) - order.begin();
    };
    ASSERT_LT(at(VANTOR_CHANNEL_SOCKET_NAME), static_cast<std::ptrdiff_t>(order.size()));
    EXPECT_LT(at(VANTOR_CHANNEL_SOCKET_NAME), at("protocol-catalog"));
    EXPECT_LT(at("protocol-catalog"), at("current-user.reg"));
    EXPECT_LT(at("current-user.reg"), static_cast<std::ptrdiff_t>(order.size()));
    // And the lock is free again: the next copy starts.
    FakeShell next;
    CSnifferApp again(next, Paths());
    EXPECT_TRUE(again.InitInstance({}));
    again.ExitInstance();
}

TEST_F(CSnifferAppTest, AModifiedDocumentIsOfferedForSavingBeforeItIsReplaced) {
    CSnifferApp app(shell, Paths());
    ASSERT_TRUE(app.InitInstance({}));
    Capture(app, 7, "GET /a HTTP/1.1\r\nHost: a.test\r\n\r\n");
    ASSERT_TRUE(app.document().IsModified());

    shell.saveAnswer = SaveAnswer::Cancel;
    EXPECT_FALSE(app.OnFileNew());
    EXPECT_EQ(shell.questions, std::vector<std::string>{"Save changes to Untitled?"});
    EXPECT_EQ(app.document().messages().size(), 1U);

    // Yes, then the save dialog: the extension is added to a name typed without one.
    shell.saveAnswer = SaveAnswer::Yes;
    shell.savePath = (user.path() / "capture").string();
    EXPECT_TRUE(app.OnFileNew());
    EXPECT_EQ(shell.suggestedNames, std::vector<std::string>{"Untitled.vtr"});
    const std::string saved = (user.path() / "capture.vtr").string();
    EXPECT_TRUE(std::filesystem::exists(saved));
    EXPECT_TRUE(app.document().messages().empty());
    EXPECT_EQ(app.recentFiles().entries(), std::vector<std::string>{saved});

    Capture(app, 8, "GET /b HTTP/1.1\r\n\r\n");
    shell.saveAnswer = SaveAnswer::No;
    EXPECT_TRUE(app.OpenDocumentFile(std::filesystem::relative(saved).string()));
    EXPECT_EQ(app.recentFiles().entries(), std::vector<std::string>{saved}) << "the whole path";
    EXPECT_EQ(app.document().messages().size(), 1U);
    EXPECT_EQ(app.document().messages()[0]->caption(), "GET a.test/a");
    EXPECT_EQ(app.DocumentTitle(), "capture.vtr");
    EXPECT_FALSE(app.document().IsModified());
    app.ExitInstance();
}

TEST_F(CSnifferAppTest, ExportHarWritesTheExchangesWhereTheUserSaysAndReportsFailures) {
    CSnifferApp app(shell, Paths());
    ASSERT_TRUE(app.InitInstance({}));
    shell.messages.clear();
    Capture(app, 7, "GET /a?x=1 HTTP/1.1\r\nHost: a.test\r\n\r\n");

    EXPECT_FALSE(app.OnFileExportHar()) << "cancelled";
    EXPECT_EQ(shell.suggestedNames, std::vector<std::string>{"Untitled.har"});

    shell.exportPath = (user.path() / "capture").string();
    ASSERT_TRUE(app.OnFileExportHar());
    const std::filesystem::path written = user.path() / "capture.har";
    EXPECT_EQ(std::filesystem::status(written).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    std::ifstream input(written);
    const std::string har{std::istreambuf_iterator<char>(input), {}};
    EXPECT_NE(har.find("\"url\":\"http://a.test/a?x=1\""), std::string::npos) << har;
    EXPECT_TRUE(app.document().IsModified()) << "exporting is not saving";

    shell.exportPath = (user.path() / "no-such-folder" / "x.har").string();
    EXPECT_FALSE(app.OnFileExportHar());
    ASSERT_EQ(shell.messages.size(), 1U);
    EXPECT_EQ(shell.messages[0].text,
              "Cannot write " + *shell.exportPath + ": No such file or directory.");
    app.ExitInstance();
}

TEST_F(CSnifferAppTest, ACancelledExportLeavesTheFileThatWasThere) {
    CSnifferApp app(shell, Paths());
    ASSERT_TRUE(app.InitInstance({}));
    for (std::uint32_t connection = 1; connection <= 600; ++connection) {
        Capture(app, connection, "GET /a HTTP/1.1\r\nHost: a.test\r\n\r\n");
    }
    const std::string before = "an archive the user kept";
    shell.exportPath = WriteFile("kept.har", before);
    shell.cancelAfter = 2;
    EXPECT_FALSE(app.OnFileExportHar());
    EXPECT_EQ(shell.progressTexts, std::vector<std::string>{"Exporting kept.har..."});
    EXPECT_EQ(shell.progress.back(), (std::pair<std::uint64_t, std::uint64_t>{512, 600}));
    std::ifstream kept(*shell.exportPath);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), before);
    // Nothing is left beside it either.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(user.path()),
                            std::filesystem::directory_iterator()),
              std::count_if(std::filesystem::directory_iterator(user.path()),
                            std::filesystem::directory_iterator(), [](const auto& entry) {
                                return !entry.path().filename().string().starts_with(".kept");
                            }));

    shell.cancelAfter = SIZE_MAX;
    shell.progress.clear();
    EXPECT_TRUE(app.OnFileExportHar());
    EXPECT_EQ(shell.progress.back(), (std::pair<std::uint64_t, std::uint64_t>{600, 600}));
    std::ifstream written(*shell.exportPath);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}).substr(0, 9),
              "{\"log\":{\"");
    app.ExitInstance();
}

TEST_F(CSnifferAppTest, ImportingACaptureReplacesTheDocumentUnlessCancelledOrEmpty) {
    CSnifferApp app(shell, Paths());
    ASSERT_TRUE(app.InitInstance({}));
    shell.messages.clear();
    Capture(app, 7, "GET /kept HTTP/1.1\r\n\r\n");
    app.document().SetModifiedFlag(false);
    EXPECT_FALSE(app.OnFileImportCapture()) << "no file chosen";

    std::vector<test::Packet> packets;
    for (std::uint16_t port = 20000; port < 25000; ++port) {
        test::Conversation conversation(test::V4(10, 0, 0, 1, port), test::V4(10, 0, 0, 2, 80));
        conversation.Open();
        conversation.Client("GET /imported HTTP/1.1\r\nHost: h\r\n\r\n");
        conversation.Server("HTTP/1.1 204 No Content\r\n\r\n");
        const auto framed = conversation.Framed(1);
        packets.insert(packets.end(), framed.begin(), framed.end());
    }
    const test::Octets file = test::PcapFile(1, packets);
    shell.importPath = (user.path() / "lan.pcap").string();
    test::WriteFile(*shell.importPath, file);

    // Cancelled: the document is as it was.
    shell.cancelAfter = 1;
    EXPECT_FALSE(app.OnFileImportCapture());
    EXPECT_EQ(shell.progressTexts.back(), "Importing lan.pcap...");
    ASSERT_EQ(app.document().messages().size(), 1U);
    EXPECT_FALSE(app.document().IsModified());
    EXPECT_TRUE(shell.messages.empty());

    shell.cancelAfter = SIZE_MAX;
    shell.progress.clear();
    EXPECT_TRUE(app.OnFileImportCapture());
    EXPECT_EQ(app.document().requests().size(), 5000U);
    EXPECT_EQ(app.document().responses().size(), 5000U);
    EXPECT_EQ(app.DocumentTitle(), "Untitled");
    EXPECT_TRUE(app.document().IsModified()) << "an import is not a saved document";
    EXPECT_EQ(shell.progress.back(),
              (std::pair<std::uint64_t, std::uint64_t>{file.size(), file.size()}));
    EXPECT_TRUE(shell.messages.empty());

    // Cut short: what was read, and why it ends there.
    app.document().SetModifiedFlag(false);
    test::Octets cut = file;
    cut.resize(cut.size() / 2 + 7);
    test::WriteFile(*shell.importPath, cut);
    EXPECT_TRUE(app.OnFileImportCapture());
    EXPECT_GT(app.document().requests().size(), 2000U);
    EXPECT_LT(app.document().requests().size(), 5000U);
    ASSERT_EQ(shell.messages.size(), 1U);
    EXPECT_NE(shell.messages[0].text.find("truncated"), std::string::npos);

    // No HTTP in it: said so, the document kept.
    app.document().SetModifiedFlag(false);
    test::WriteFile(*shell.importPath, test::PcapFile(1, {}));
    EXPECT_FALSE(app.OnFileImportCapture());
    EXPECT_EQ(shell.messages.back().text,
              "No HTTP was found in lan.pcap: 0 packets, 0 HTTP connections of 0 TCP flows.");
    EXPECT_GT(app.document().requests().size(), 2000U);
    app.ExitInstance();
}

TEST_F(CSnifferAppTest, RunProgramRunsTheLineThroughVantorRunAndRemembersIt) {
    test::ScopedEnvironment environment;
    environment.Set("HOME", user.path().string());
    CSnifferApp app(shell, Paths());
    ASSERT_TRUE(app.InitInstance({}));
    shell.messages.clear();
    EXPECT_FALSE(app.OnRunProgram()) << "cancelled";

    shell.programToRun = ProgramToRun{"  curl -s http://127.0.0.1:1/ | wc -c ", ""};
    ASSERT_FALSE(app.IsCapturing());
    EXPECT_TRUE(app.OnRunProgram());
    EXPECT_TRUE(app.IsCapturing()) << "what it runs is captured";
    ASSERT_EQ(shell.logged.size(), 1U);
    EXPECT_EQ(shell.logged[0].command,
              (std::vector<std::string>{Paths().vantorRun, "/bin/sh", "-c",
                                        "curl -s http://127.0.0.1:1/ | wc -c"}));
    EXPECT_EQ(shell.logged[0].folder, user.path().string()) << "no folder: the home folder";
    EXPECT_EQ(shell.logged[0].title, "curl -s http://127.0.0.1:1/ | wc -c");

    // Offered again, newest first; a folder given is remembered too.
    shell.programToRun = ProgramToRun{"cd sub && ls", (user.path() / "sub").string()};
    std::filesystem::create_directories(user.path() / "sub");
    EXPECT_TRUE(app.OnRunProgram());
    EXPECT_EQ(shell.offeredCommands[0], "curl -s http://127.0.0.1:1/ | wc -c");
    shell.programToRun.reset();
    app.OnRunProgram();
    EXPECT_EQ(shell.offeredCommands[0], "cd sub && ls");
    EXPECT_EQ(shell.offeredCommands[1], "curl -s http://127.0.0.1:1/ | wc -c");
    EXPECT_EQ(shell.offeredFolders[0], (user.path() / "sub").string());
    EXPECT_EQ(shell.logged.size(), 2U);

    // What cannot run is said, and nothing starts.
    shell.programToRun = ProgramToRun{"no-such-program-here --flag", ""};
    EXPECT_FALSE(app.OnRunProgram());
    EXPECT_EQ(shell.messages.back().text,
              "The program no-such-program-here was not found. Check its name, or give its "
              "full path.");
    shell.programToRun = ProgramToRun{"./run.sh", ""};
    EXPECT_FALSE(app.OnRunProgram()) << "not in the folder it runs in";
    EXPECT_EQ(shell.messages.back().text,
              "The program ./run.sh was not found. Check its name, or give its full path.");
    shell.programToRun = ProgramToRun{"ls", (user.path() / "gone").string()};
    EXPECT_FALSE(app.OnRunProgram());
    EXPECT_EQ(shell.messages.back().text,
              "The folder " + (user.path() / "gone").string() + " does not exist.");
    shell.programToRun = ProgramToRun{"ls", ""};
    shell.startSucceeds = false;
    EXPECT_FALSE(app.OnRunProgram());
    EXPECT_EQ(shell.messages.back().text, "ls could not be started.");
    EXPECT_EQ(shell.logged.size(), 3U);
    app.ExitInstance();
}

TEST_F(CSnifferAppTest, OpenTerminalStartsCaptureAndAShellThroughVantorRun) {
    test::ScopedEnvironment environment;
    environment.Set("TERMINAL", "/bin/true");
    environment.Set("SHELL", "/bin/bash");
    CSnifferApp app(shell, Paths());
    ASSERT_TRUE(app.InitInstance({}));
    shell.messages.clear();
    ASSERT_FALSE(app.IsCapturing());
    EXPECT_TRUE(app.OnOpenTerminal());
    EXPECT_TRUE(app.IsCapturing()) << "what the terminal starts is captured";
    ASSERT_EQ(shell.started.size(), 1U);
    EXPECT_EQ(shell.started[0],
              (std::vector<std::string>{"/bin/true", "-e", Paths().vantorRun, "/bin/bash"}));
    EXPECT_TRUE(shell.started[0][2].ends_with("/vantor-run"));

    shell.startSucceeds = false;
    EXPECT_FALSE(app.OnOpenTerminal());
    ASSERT_EQ(shell.messages.size(), 1U);
    EXPECT_EQ(shell.messages[0].text, "/bin/true could not be started.");

    environment.Set("TERMINAL", std::nullopt);
    environment.Set("PATH", (user.path() / "empty").string());
    EXPECT_FALSE(app.OnOpenTerminal());
    EXPECT_EQ(shell.messages.back().text,
              "No terminal emulator was found. Set TERMINAL to the one to use, or install one.");
    EXPECT_EQ(shell.started.size(), 2U);
    app.ExitInstance();
}

TEST_F(CSnifferAppTest, AFileThatCannotBeOpenedLeavesTheDocumentAsItWas) {
    CSnifferApp app(shell, Paths());
    ASSERT_TRUE(app.InitInstance({}));
    shell.messages.clear();
    Capture(app, 7, "GET /kept HTTP/1.1\r\n\r\n");
    app.document().SetModifiedFlag(false);
    const std::string damaged = WriteFile("damaged.vtr", "\x02\x00\x00\x00\xff\xff");
    EXPECT_FALSE(app.OpenDocumentFile(damaged));
    ASSERT_EQ(shell.messages.size(), 1U);
    EXPECT_EQ(shell.messages[0].text, "Unexpected file format.");
    EXPECT_EQ(shell.messages[0].icon, MessageIcon::Exclamation);
    ASSERT_EQ(app.document().messages().size(), 1U);
    EXPECT_EQ(app.DocumentTitle(), "Untitled");
    EXPECT_TRUE(app.recentFiles().entries().empty());

    // A recent file that has gone is reported and leaves the list.
    shell.savePath = (user.path() / "gone.vtr").string();
    ASSERT_TRUE(app.OnFileSaveAs());
    std::filesystem::remove(*shell.savePath);
    EXPECT_FALSE(app.OnOpenRecentFile(0));
    EXPECT_EQ(shell.messages.back().text, *shell.savePath + " was not found.");
    EXPECT_TRUE(app.recentFiles().entries().empty());
    app.ExitInstance();
}

TEST_F(CSnifferAppTest, TheRecentFilesSurviveARestart) {
    {
        CSnifferApp app(shell, Paths());
        ASSERT_TRUE(app.InitInstance({}));
        for (const char* name : {"one.vtr", "two.vtr", "three.vtr", "four.vtr", "five.vtr"}) {
            shell.savePath = (user.path() / name).string();
            ASSERT_TRUE(app.OnFileSaveAs());
        }
        app.ExitInstance();
    }
    CSnifferApp app(shell, Paths());
    ASSERT_TRUE(app.InitInstance({}));
    ASSERT_EQ(app.recentFiles().entries().size(), 4U);
    EXPECT_EQ(app.recentFiles().entries().front(), (user.path() / "five.vtr").string());
    EXPECT_EQ(app.recentFiles().entries().back(), (user.path() / "two.vtr").string());
    app.ExitInstance();
}

// A one-connection HTTP server on a thread of the test: answers whatever comes with a 204.
class OneAnswerServer {
public:
    OneAnswerServer() {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(m_listener, 16);
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] {
            for (;;) {
                const int client = ::accept(m_listener, nullptr, nullptr);
                if (client < 0) {
                    return;
                }
                char request[4096];
                if (::read(client, request, sizeof request) > 0) {
                    constexpr std::string_view kAnswer = "HTTP/1.1 204 No Content\r\n\r\n";
                    (void)!::write(client, kAnswer.data(), kAnswer.size());
                }
                ::close(client);
            }
        });
    }
    ~OneAnswerServer() {
        ::shutdown(m_listener, SHUT_RDWR);
        ::close(m_listener);
        m_thread.join();
    }
    int port() const { return m_port; }

private:
    int m_listener = -1;
    int m_port = 0;
    std::thread m_thread;
};

TEST_F(CSnifferAppTest, CaptureAllProgramsListsProgramsNotStartedThroughVantorRun) {
    if (::geteuid() != 0 || !std::filesystem::exists("/sys/kernel/btf/vmlinux")) {
        GTEST_SKIP() << "capturing all programs loads BPF programs: it needs root and BTF";
    }
    CSnifferApp app(shell, Paths());
    ASSERT_TRUE(app.InitInstance({}));
    shell.messages.clear();
    ASSERT_TRUE(app.OnCaptureAllPrograms());
    EXPECT_TRUE(app.IsCapturing());
    // The helper takes a moment to load: curl is run until its request is listed.
    const OneAnswerServer server;
    const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/everyone";
    const HTTPRequest* seen = nullptr;
    for (int attempt = 0; attempt < 50 && seen == nullptr; ++attempt) {
        ASSERT_EQ(std::system(("curl -s -o /dev/null " + url).c_str()), 0);
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        while (std::chrono::steady_clock::now() < until) {
            app.windowCalls().RunPending(std::chrono::milliseconds(20));
        }
        for (const HTTPRequest* request : app.document().requests()) {
            if (request->target().ends_with("/everyone") && request->response() != nullptr) {
                seen = request;
            }
        }
    }
    ASSERT_NE(seen, nullptr) << "curl was never listed";
    ASSERT_NE(seen->process(), nullptr);
    EXPECT_EQ(seen->process()->command, "curl");
    EXPECT_TRUE(shell.messages.empty()) << shell.messages.front().text;
    app.StopCapture();
    EXPECT_FALSE(app.IsCapturingAllPrograms());
    app.ExitInstance();
}

}  // namespace
}  // namespace vantor
