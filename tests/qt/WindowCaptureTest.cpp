// The program as a user starts it: two real copies of vantor, and curl captured into the
// window through vantor-run.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QMessageBox>
#include <QTimer>

#include "ScopedUserFolders.h"
#include "TestSupport.h"
#include "UserSettings.h"
#include "options/AppStrings.h"
#include "app/CSnifferApp.h"
#include "app/qt/CMainFrame.h"
#include "app/qt/CRunProgramDlg.h"
#include "app/qt/QtAppShell.h"
#include "capture/ProviderInstaller.h"
#include "e2e/ChildProcess.h"
#include "framework/Profile.h"
#include "http/MessageTypes.h"
#include "platform/InstanceSignal.h"
#include "platform/ProtocolCatalog.h"
#include "platform/SettingsStore.h"
#include "qt/MainWindowFixture.h"

namespace vantor {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::ReadWholeFile;
using test::StoredRunCount;

const std::string kBin = VANTOR_BIN_DIR;
const std::string kScripts = std::string(VANTOR_SOURCE_DIR) + "/tests/e2e";

class WindowCaptureTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(test::StoreReturningUser()); }

    std::filesystem::path File(const char* name) const { return user.path() / name; }

    // Lets the last records reach the window, stops capture and shows every message in the tree.
    static QtTreeControl& StopCaptureAfterTheLastRecords(CMainFrame& frame) {
        for (int i = 0; i < 20; ++i) {
            QApplication::processEvents();
            std::this_thread::sleep_for(5ms);
        }
        frame.action(ID_CAPTURE_STOP)->trigger();
        frame.treeControl().Flush();
        return frame.treeControl();
    }

    // Starts the test server; the port it printed first, once it has.
    std::string StartServer() {
        server = std::make_unique<ChildProcess>(
            std::vector<std::string>{"python3", kScripts + "/http_server.py"}, File("server.out"),
            File("server.err"));
        for (auto deadline = std::chrono::steady_clock::now() + 20s;
             std::chrono::steady_clock::now() < deadline;) {
            const std::string text = ReadWholeFile(File("server.out"));
            if (text.find('\n') != std::string::npos) {
                return text.substr(0, text.find('\n'));
            }
            std::this_thread::sleep_for(10ms);
        }
        return {};
    }

    test::ScopedDefaultOptions defaults;
    test::ScopedUserFolders user;
    std::unique_ptr<ChildProcess> server;
};

TEST_F(WindowCaptureTest, ASecondCopyEndsAtOnceAndLeavesTheRunningOneAsItWas) {
    ChildProcess first({kBin + "/vantor"}, File("first.out"), File("first.err"));
    const auto socket = InstanceSignal::SocketPath(std::string(kInstanceSignalName));
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!std::filesystem::exists(socket) && std::chrono::steady_clock::now() < deadline) {
        ASSERT_FALSE(first.Wait(20ms)) << ReadWholeFile(File("first.err"));
    }
    ASSERT_TRUE(std::filesystem::exists(socket));
    for (int copy = 0; copy < 2; ++copy) {
        ChildProcess second({kBin + "/vantor"}, File("second.out"), File("second.err"));
        EXPECT_EQ(second.Wait(10s), 0) << ReadWholeFile(File("second.err"));
        EXPECT_EQ(ReadWholeFile(File("second.out")), "");
    }
    EXPECT_FALSE(first.Wait(0ms)) << "the first copy runs on";
    EXPECT_EQ(StoredRunCount(), 1) << "the second copy wrote no settings";
    const ProtocolCatalog catalog(ProtocolCatalog::DefaultFile());
    EXPECT_TRUE(ProviderInstaller::ActiveProviderPath(catalog));

    // Ending it runs the exit sequence.
    first.Signal(SIGTERM);
    EXPECT_EQ(first.Wait(20s), 0);
    EXPECT_EQ(StoredRunCount(), 2);
    EXPECT_FALSE(
        ProviderInstaller::ActiveProviderPath(ProtocolCatalog(ProtocolCatalog::DefaultFile())));
    EXPECT_FALSE(std::filesystem::exists(socket));
}

TEST_F(WindowCaptureTest, AWindowStartedWhileVantorDumpCapturesSaysWhatRuns) {
    ChildProcess dump({kBin + "/vantor-dump"}, File("dump.out"), File("dump.err"));
    for (auto deadline = std::chrono::steady_clock::now() + 20s;
         ReadWholeFile(File("dump.err")).find("capturing") == std::string::npos;) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << ReadWholeFile(File("dump.err"));
        ASSERT_FALSE(dump.Wait(10ms));
    }
    // The window says it in a message box (which waits for the user) and on standard error.
    ChildProcess window({kBin + "/vantor"}, File("window.out"), File("window.err"));
    const std::string expected = "vantor: Vantor is already capturing in vantor-dump (process " +
                                 std::to_string(dump.pid()) + "). Stop it (Ctrl-C in its " +
                                 "terminal, or kill " + std::to_string(dump.pid()) +
                                 "), then start Vantor again.\n";
    for (auto deadline = std::chrono::steady_clock::now() + 20s;
         ReadWholeFile(File("window.err")).find(expected) == std::string::npos;) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << ReadWholeFile(File("window.err"));
        std::this_thread::sleep_for(10ms);
    }
    window.Signal(SIGKILL);
    dump.Signal(SIGINT);
    EXPECT_EQ(dump.Wait(20s), 0);
}

TEST_F(WindowCaptureTest, CurlThroughVantorRunAppearsInTheTree) {
    const std::string port = StartServer();
    ASSERT_FALSE(port.empty()) << ReadWholeFile(File("server.err"));

    QtAppShell shell;
    CSnifferApp app(shell, AppPaths::ForCurrentUser());
    shell.SetApp(&app);
    ASSERT_TRUE(app.InitInstance({}));
    CMainFrame& frame = *shell.frame();
    frame.action(ID_CAPTURE_START)->trigger();
    ASSERT_TRUE(app.IsCapturing());

    // The window thread keeps running its events, records included, while curl runs.
    ChildProcess curl(
        {kBin + "/vantor-run", "curl", "-s", "http://127.0.0.1:" + port + "/echo/window"},
        File("curl.out"), File("curl.err"));
    std::optional<int> status;
    for (auto deadline = std::chrono::steady_clock::now() + 30s;
         !status && std::chrono::steady_clock::now() < deadline;) {
        QApplication::processEvents();
        status = curl.Wait(5ms);
    }
    EXPECT_EQ(status, 0) << ReadWholeFile(File("curl.err"));
    EXPECT_EQ(ReadWholeFile(File("curl.out")), "/echo/window");
    QtTreeControl& tree = StopCaptureAfterTheLastRecords(frame);
    ASSERT_EQ(tree.rowCount(), 2);
    EXPECT_EQ(tree.index(0, 0).data().toString().toStdString(),
              "GET 127.0.0.1:" + port + "/echo/window");
    EXPECT_EQ(tree.ItemImage(tree.ItemAt(tree.index(0, 0))), kImageRequest);
    EXPECT_EQ(tree.index(1, 0).data().toString().toStdString(), "200 /echo/window");
    EXPECT_EQ(tree.ItemImage(tree.ItemAt(tree.index(1, 0))), kImageResponseSuccess);
    EXPECT_EQ(tree.rowCount(tree.index(1, 0)), 2) << "peer and time below";
    app.document().SetModifiedFlag(false);
    app.ExitInstance();
    shell.DestroyMainFrame();
}

TEST_F(WindowCaptureTest, AProgramRunFromTheWindowIsCapturedAndItsOutputLogged) {
    const std::string port = StartServer();
    ASSERT_FALSE(port.empty()) << ReadWholeFile(File("server.err"));
    QtAppShell shell;
    CSnifferApp app(shell, AppPaths::ForCurrentUser());
    shell.SetApp(&app);
    ASSERT_TRUE(app.InitInstance({}));
    CMainFrame& frame = *shell.frame();
    ASSERT_FALSE(app.IsCapturing());

    const std::string command = "curl -s http://127.0.0.1:" + port + "/echo/run";
    const auto answer = test::WhenModal([&](QWidget* dialog) {
        EXPECT_EQ(dialog->windowTitle(), "Run Program");
        dialog->findChild<QComboBox*>("commandLine")->setEditText(QString::fromStdString(command));
        dialog->findChild<QComboBox*>("folder")->setEditText(
            QString::fromStdString(user.path().string()));
        qobject_cast<QDialog*>(dialog)->accept();
    });
    frame.action(ID_CAPTURE_RUN_PROGRAM)->trigger();
    EXPECT_TRUE(app.IsCapturing()) << "running a program starts capture";
    auto* log = frame.findChild<ProgramLogWindow*>("programLog");
    ASSERT_NE(log, nullptr);
    EXPECT_TRUE(log->isVisible());
    for (auto deadline = std::chrono::steady_clock::now() + 30s;
         !log->Log().contains("exit status") && std::chrono::steady_clock::now() < deadline;) {
        QApplication::processEvents();
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(log->Log().toStdString(), "/echo/run\n[The program ended with exit status 0.]\n");
    QtTreeControl& tree = StopCaptureAfterTheLastRecords(frame);
    ASSERT_EQ(tree.rowCount(), 2);
    EXPECT_EQ(tree.index(0, 0).data().toString().toStdString(),
              "GET 127.0.0.1:" + port + "/echo/run");
    EXPECT_EQ(tree.index(1, 0).data().toString().toStdString(), "200 /echo/run");
    EXPECT_EQ(GlobalOptions().run.commands[0], command);
    log->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(frame.findChild<ProgramLogWindow*>("programLog"), nullptr) << "closed, it is gone";

    // A program that does not exist: said so, nothing runs.
    std::string said;
    std::unique_ptr<QTimer> box;
    const auto missing = test::WhenModal([&](QWidget* dialog) {
        EXPECT_EQ(dialog->findChild<QComboBox*>("commandLine")->itemText(0).toStdString(), command)
            << "offered again";
        dialog->findChild<QComboBox*>("commandLine")->setEditText("no-such-program-xyz -v");
        box = test::WhenModal(
            [&said](QWidget* modal) {
                if (auto* message = qobject_cast<QMessageBox*>(modal)) {
                    said = message->text().toStdString();
                    message->reject();
                }
            },
            dialog);
        qobject_cast<QDialog*>(dialog)->accept();
    });
    frame.action(ID_CAPTURE_RUN_PROGRAM)->trigger();
    EXPECT_EQ(said,
              "The program no-such-program-xyz was not found. Check its name, or give its full "
              "path.");
    EXPECT_EQ(frame.findChild<ProgramLogWindow*>("programLog"), nullptr);
    app.document().SetModifiedFlag(false);
    app.ExitInstance();
    shell.DestroyMainFrame();
}

}  // namespace
}  // namespace vantor
