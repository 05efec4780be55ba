// The program as a user starts it: two real copies of vantor, and curl captured into the
// window through vantor-run.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>

#include "ScopedUserFolders.h"
#include "TestSupport.h"
#include "UserSettings.h"
#include "app/AppStrings.h"
#include "app/CSnifferApp.h"
#include "app/qt/CMainFrame.h"
#include "app/qt/QtAppShell.h"
#include "capture/ProviderInstaller.h"
#include "e2e/ChildProcess.h"
#include "framework/Profile.h"
#include "http/MessageTypes.h"
#include "platform/InstanceSignal.h"
#include "platform/ProtocolCatalog.h"
#include "platform/SettingsStore.h"

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

    test::ScopedDefaultOptions defaults;
    test::ScopedUserFolders user;
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
    ChildProcess server({"python3", kScripts + "/http_server.py"}, File("server.out"),
                        File("server.err"));
    std::string port;
    for (auto deadline = std::chrono::steady_clock::now() + 20s;
         port.empty() && std::chrono::steady_clock::now() < deadline;) {
        const std::string text = ReadWholeFile(File("server.out"));
        if (text.find('\n') != std::string::npos) {
            port = text.substr(0, text.find('\n'));
        }
        std::this_thread::sleep_for(10ms);
    }
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
    for (int i = 0; i < 20; ++i) {
        QApplication::processEvents();
        std::this_thread::sleep_for(5ms);
    }
    frame.action(ID_CAPTURE_STOP)->trigger();
    QtTreeControl& tree = frame.treeControl();
    tree.Flush();
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

}  // namespace
}  // namespace vantor
