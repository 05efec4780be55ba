// vantor: the desktop program.
#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "app/CSnifferApp.h"
#include "app/qt/QtAppShell.h"
#include "platform/MemoryReuse.h"

namespace {

constexpr const char* kUsage =
    "usage: vantor [FILE.vtr]\n"
    "\n"
    "Shows the HTTP requests and responses of programs on this machine as they are sent and\n"
    "received. Start capture with Capture > Start (Ctrl+F5), then start the programs to\n"
    "capture with vantor-run, for example: vantor-run curl http://127.0.0.1:8080/\n"
    "\n"
    "FILE.vtr   a document file to open at start\n"
    "-h, --help show this help\n"
    "\n"
    "One copy runs per user: starting another brings the running window forward.\n";

int g_stopPipe[2] = {-1, -1};

extern "C" void RequestStop(int /*signal*/) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_stopPipe[1], &byte, 1);
}

// SIGTERM and SIGINT end the program through its exit sequence (capture stopped, provider
// removed, settings saved), as closing the window does, but without questions.
void EndOnStopSignals(QApplication& application) {
    if (::pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(g_stopPipe[0], QSocketNotifier::Read, &application);
    QObject::connect(notifier, &QSocketNotifier::activated, &application,
                     [] { QCoreApplication::exit(0); });
    struct sigaction action {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "-h" || argument == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    vantor::KeepFreedMemoryForReuse();
    QApplication application(argc, argv);
    QApplication::setApplicationName("Vantor");
    QApplication::setWindowIcon(vantor::AppIcon());
    QApplication::setQuitOnLastWindowClosed(false);
    EndOnStopSignals(application);

    std::vector<std::string> arguments;
    const QStringList qtArguments = QApplication::arguments();  // without Qt's own options
    for (qsizetype i = 1; i < qtArguments.size(); ++i) {
        arguments.push_back(qtArguments[i].toStdString());
    }

    vantor::QtAppShell shell;
    vantor::CSnifferApp app(shell, vantor::AppPaths::ForCurrentUser());
    shell.SetApp(&app);
    int status = 0;
    if (app.InitInstance(arguments)) {
        QObject::connect(&application, &QApplication::lastWindowClosed, &application,
                         &QApplication::quit);
        status = QApplication::exec();
    }
    app.ExitInstance();
    shell.DestroyMainFrame();
    return status;
}
