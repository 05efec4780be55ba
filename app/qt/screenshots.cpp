// vantor-screenshots: draws the main window with a document (or a capture-record stream
// replayed into one) and each dialog into PNG files, for the README. Runs offscreen, with
// settings of its own.
#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/CSnifferApp.h"
#include "app/qt/CMainFrame.h"
#include "app/qt/ExchangeListPanel.h"
#include "app/qt/QtAppShell.h"
#include "capture/CaptureDispatch.h"
#include "capture/RecordReplay.h"
#include "framework/Profile.h"
#include "options/AppStrings.h"
#include "platform/SettingsStore.h"

namespace {

// Saves the dialog a command opens, then closes it.
void ShootDialog(vantor::CMainFrame& frame, int command, const QString& file) {
    QTimer::singleShot(300, [file] {
        if (QWidget* dialog = QApplication::activeModalWidget()) {
            dialog->grab().save(file);
            if (auto* modal = qobject_cast<QDialog*>(dialog)) {
                modal->reject();
            } else {
                dialog->close();
            }
        }
    });
    frame.OnCommand(command);
}

// Selects the exchange whose URL holds what, with the response's tab of that index shown.
void SelectExchange(vantor::ExchangeListPanel& panel, const std::string& what, int tab) {
    for (std::size_t row = 0; row < panel.view().presenter().shownCount(); ++row) {
        const vantor::Exchange exchange = panel.view().presenter().ExchangeAt(row);
        if (vantor::Summarize(exchange).Url().find(what) != std::string::npos) {
            panel.SelectRow(static_cast<int>(row));
            break;
        }
    }
    panel.pane()->responseSide()->tabs()->setCurrentIndex(tab);
    QApplication::processEvents();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: vantor-screenshots DOCUMENT.vtr|RECORDS OUTPUT_FOLDER\n", stderr);
        return 2;
    }
    const std::filesystem::path document = std::filesystem::absolute(argv[1]);
    const std::filesystem::path output = std::filesystem::absolute(argv[2]);
    std::filesystem::create_directories(output);
    char folder[] = "/tmp/vantor-screenshots-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
        return 1;
    }
    const std::string home = folder;
    ::setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
    ::setenv("XDG_STATE_HOME", (home + "/state").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (home + "/run").c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    {
        // Past the first-run notice.
        vantor::SettingsStore store(vantor::SettingsStore::CurrentUserFile());
        vantor::Profile profile(store, std::string(vantor::kApplicationKey));
        profile.WriteProfileInt("Preferences", "run_count", 1);
        // Bodies of JSON and images kept, to show them.
        profile.WriteProfileString("Preferences", "allowed_content",
                                   R"("" "text/" "application/" "image/")");
        profile.Flush();
    }

    QApplication application(argc, argv);
    QApplication::setWindowIcon(vantor::AppIcon());
    vantor::QtAppShell shell;
    vantor::CSnifferApp app(shell, vantor::AppPaths::ForCurrentUser());
    shell.SetApp(&app);
    int status = 1;
    const bool records = document.extension() != ".vtr";
    if (app.InitInstance(records ? std::vector<std::string>{} : std::vector{document.string()})) {
        vantor::CMainFrame& frame = *shell.frame();
        if (records) {
            std::ifstream input(document, std::ios::binary);
            vantor::CaptureDispatch dispatch([&app] { return &app.document(); });
            vantor::ReplayRecordStream(input, dispatch);
            app.document().SetModifiedFlag(false);
        }
        frame.resize(1100, 680);
        frame.show();
        vantor::ExchangeListPanel& panel = *frame.exchanges();
        panel.Flush();
        QApplication::processEvents();
        const auto shot = [&frame, &output](const char* name) {
            QApplication::processEvents();
            frame.grab().save(QString::fromStdString((output / name).string()));
        };
        // The exchange list: a JSON answer, then a WebSocket's messages, an image, HTTP/2.
        SelectExchange(panel, "/v1/users?page=1", 1);
        shot("main-window.png");
        SelectExchange(panel, "/chat", 3);
        shot("exchange-websocket.png");
        SelectExchange(panel, "/cart", 1);
        shot("exchange-http2.png");
        SelectExchange(panel, "logo.png", 1);
        panel.filterBar()->setText("status:4xx | status:5xx -host:\"cdn.example\"");
        panel.ApplyFilter();
        shot("exchange-filter.png");
        panel.filterBar()->setText("status:4x5 host:");
        panel.ApplyFilter();
        shot("exchange-filter-mistake.png");
        panel.filterBar()->clear();
        panel.ApplyFilter();
        // The message tree with a response selected, as a user clicks it.
        frame.OnCommand(vantor::ID_VIEW_MESSAGE_TREE);
        frame.treeControl().Flush();
        frame.OnCommand(vantor::ID_VIEW_EXPAND_ALL);
        frame.treeControl().Select(frame.treeControl().ItemAt(frame.treeControl().index(1, 0)));
        QApplication::processEvents();
        frame.grab().save(QString::fromStdString((output / "main-window-message.png").string()));
        const auto file = [&output](const char* name) {
            return QString::fromStdString((output / name).string());
        };
        ShootDialog(frame, vantor::ID_CAPTURE_OPTIONS, file("capture-options.png"));
        ShootDialog(frame, vantor::ID_VIEW_OPTIONS, file("view-options.png"));
        ShootDialog(frame, vantor::ID_FILTER_OPTIONS, file("filter.png"));
        ShootDialog(frame, vantor::ID_FIND_MESSAGE, file("find-message.png"));
        ShootDialog(frame, vantor::ID_CAPTURE_RUN_PROGRAM, file("run-program.png"));
        ShootDialog(frame, vantor::ID_APP_ABOUT, file("about.png"));
        status = 0;
    }
    app.ExitInstance();
    shell.DestroyMainFrame();
    std::filesystem::remove_all(home);
    return status;
}
