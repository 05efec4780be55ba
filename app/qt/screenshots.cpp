// vantor-screenshots: draws the main window with a document and each dialog into PNG files,
// for the README. Runs offscreen, with settings of its own.
#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "options/AppStrings.h"
#include "app/CSnifferApp.h"
#include "app/qt/CMainFrame.h"
#include "app/qt/QtAppShell.h"
#include "framework/Profile.h"
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

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: vantor-screenshots DOCUMENT.vtr OUTPUT_FOLDER\n", stderr);
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
        profile.Flush();
    }

    QApplication application(argc, argv);
    QApplication::setWindowIcon(vantor::AppIcon());
    vantor::QtAppShell shell;
    vantor::CSnifferApp app(shell, vantor::AppPaths::ForCurrentUser());
    shell.SetApp(&app);
    int status = 1;
    if (app.InitInstance({document.string()})) {
        vantor::CMainFrame& frame = *shell.frame();
        frame.resize(1000, 560);
        frame.show();
        frame.treeControl().Flush();
        QApplication::processEvents();
        // The window as it starts, then with a response selected as a user clicks it.
        frame.grab().save(QString::fromStdString((output / "main-window.png").string()));
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
