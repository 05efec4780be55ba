// The window while it captures: runs one client through vantor-run into the main window (the
// real frame, views and capture path, drawn offscreen) and measures how long keyboard input
// waits to be handled meanwhile. Run by bench/run-window-bench.
//
//   window_capture_bench [--show] BIN_FOLDER CLIENT [ARGS...]
//
// With --show the first message captured is selected as soon as it appears, so that the text
// view redraws it while it grows; otherwise no message is shown. The key pressed is one the
// tree does nothing with.
//
// Prints the client's own line (its rate), then the input delays and the messages captured.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QTableView>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/CSnifferApp.h"
#include "app/qt/CMainFrame.h"
#include "app/qt/ExchangeListPanel.h"
#include "app/qt/QtAppShell.h"
#include "framework/Profile.h"
#include "options/AppStrings.h"
#include "platform/SettingsStore.h"

extern char** environ;

namespace {

// Times how long key presses wait before the tree handles them. They are posted from another
// thread, as input arrives from the display server whatever the window is doing, so the time
// includes waiting for the work the window thread is busy with.
class InputProbe : public QObject {
public:
    using Clock = std::chrono::steady_clock;

    explicit InputProbe(QWidget* target) : m_target(target) { target->installEventFilter(this); }

    // From any thread.
    void Send() {
        {
            std::lock_guard lock(m_mutex);
            m_sent.push_back(Clock::now());
        }
        QCoreApplication::postEvent(m_target,
                                    new QKeyEvent(QEvent::KeyPress, Qt::Key_F20, Qt::NoModifier));
    }
    std::vector<double>& delays() { return m_delays; }

protected:
    bool eventFilter(QObject* object, QEvent* event) override {
        if (object == m_target && event->type() == QEvent::KeyPress &&
            static_cast<QKeyEvent*>(event)->key() == Qt::Key_F20) {
            std::lock_guard lock(m_mutex);
            if (!m_sent.empty()) {
                m_delays.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - m_sent.front())
                        .count());
                m_sent.pop_front();
            }
        }
        return false;
    }

private:
    QWidget* m_target;
    std::mutex m_mutex;
    std::deque<Clock::time_point> m_sent;
    std::vector<double> m_delays;
};

}  // namespace

int main(int argc, char** argv) {
    // --show: the message tree, its first message shown as it grows; --show-exchange: the
    // exchange list, its first exchange in the pane; else the exchange list, nothing selected.
    const std::string mode = argc > 1 && std::string(argv[1]).starts_with("--show") ? argv[1] : "";
    const bool show = !mode.empty();
    const bool tree = mode == "--show";
    if (show) {
        --argc;
        ++argv;
    }
    if (argc < 3) {
        std::fputs(
            "usage: window_capture_bench [--show | --show-exchange] BIN_FOLDER CLIENT "
            "[ARGS...]\n",
            stderr);
        return 2;
    }
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    {
        vantor::SettingsStore store(vantor::SettingsStore::CurrentUserFile());
        vantor::Profile profile(store, std::string(vantor::kApplicationKey));
        profile.WriteProfileInt("Preferences", "run_count", 1);
        profile.WriteProfileInt("Preferences", "max_req_size", 8000);
        profile.WriteProfileInt("Preferences", "max_res_size", 8000);
        profile.WriteProfileInt("Preferences", "main_view", tree ? 1 : 0);
        profile.Flush();
    }
    QApplication application(argc, argv);
    vantor::QtAppShell shell;
    vantor::CSnifferApp app(shell, vantor::AppPaths::ForCurrentUser());
    shell.SetApp(&app);
    if (!app.InitInstance({})) {
        return 1;
    }
    vantor::CMainFrame& frame = *shell.frame();
    frame.action(vantor::ID_CAPTURE_START)->trigger();

    const std::string output = std::string(std::getenv("XDG_RUNTIME_DIR")) + "/client.out";
    std::vector<std::string> command{std::string(argv[1]) + "/vantor-run"};
    for (int i = 2; i < argc; ++i) {
        command.emplace_back(argv[i]);
    }
    std::vector<char*> arguments;
    for (std::string& argument : command) {
        arguments.push_back(argument.data());
    }
    arguments.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    pid_t client = -1;
    if (posix_spawn(&client, arguments[0], &actions, nullptr, arguments.data(), environ) != 0) {
        return 1;
    }
    posix_spawn_file_actions_destroy(&actions);

    vantor::ExchangeListPanel& list = *frame.exchanges();
    InputProbe probe(tree ? static_cast<QWidget*>(frame.treeWidget()) : list.table());
    std::atomic<bool> capturing{true};
    std::thread input([&] {
        while (capturing) {
            probe.Send();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    QTimer select;
    QObject::connect(&select, &QTimer::timeout, [&] {
        if (!tree) {
            if (list.table()->model()->rowCount() > 0) {
                list.SelectRow(0);
                select.stop();
            }
            return;
        }
        frame.treeControl().Flush();
        if (frame.treeControl().rowCount() > 0) {
            frame.treeWidget()->setCurrentIndex(frame.treeControl().index(0, 0));
            select.stop();
        }
    });
    if (show) {
        select.start(5);
    }
    QTimer finished;
    QObject::connect(&finished, &QTimer::timeout, [&] {
        int status = 0;
        if (::waitpid(client, &status, WNOHANG) == client) {
            QCoreApplication::exit(0);
        }
    });
    finished.start(5);
    QApplication::exec();
    capturing = false;
    input.join();
    QApplication::processEvents();
    frame.action(vantor::ID_CAPTURE_STOP)->trigger();

    std::ifstream result(output);
    std::stringstream line;
    line << result.rdbuf();
    std::printf("client: %s", line.str().c_str());
    std::vector<double>& delays = probe.delays();
    std::sort(delays.begin(), delays.end());
    if (!delays.empty()) {
        const auto at = [&](double share) {
            return delays[std::min(
                delays.size() - 1,
                static_cast<std::size_t>(share * static_cast<double>(delays.size())))];
        };
        std::printf(
            "input delay while capturing: median %.2f ms, 99th percentile %.2f ms, "
            "longest %.2f ms (%zu key presses)\n",
            at(0.5), at(0.99), delays.back(), delays.size());
    }
    std::printf("messages in the window: %zu\n", app.document().messages().size());
    app.document().SetModifiedFlag(false);
    app.ExitInstance();
    shell.DestroyMainFrame();
    return 0;
}
