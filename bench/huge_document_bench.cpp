// A document whose one message never ends its header, opened in the window: how much memory
// and CPU the window needs to list it and show it. Run by bench/run-huge-document-bench.
//
//   huge_document_bench make FILE.vtr MEBIBYTES   writes the document (one line, no header end)
//   huge_document_bench open FILE.vtr             opens it in the window, offscreen, selects the
//                                                 message and prints peak memory and CPU time
#include <sys/resource.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "options/AppStrings.h"
#include "app/CSnifferApp.h"
#include "app/qt/CMainFrame.h"
#include "app/qt/QtAppShell.h"
#include "document/CSnifferDoc.h"
#include "framework/Profile.h"
#include "platform/SettingsStore.h"

namespace {

long PeakMebibytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::atol(line.c_str() + 6) / 1024;
        }
    }
    return -1;
}

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int Make(const std::string& file, long mebibytes) {
    vantor::CSnifferDoc document;
    vantor::CaptureRecord header;
    header.direction = vantor::Direction::Sent;
    header.connectionId = 7;
    header.peerAddress.address = {127, 0, 0, 1};
    header.peerAddress.port = {0x1F, 0x90};
    const std::string chunk(1 << 20, 'a');
    document.NewRequest(header, {reinterpret_cast<const std::uint8_t*>("GET /"), 5});
    header.previousDirection = vantor::Direction::Sent;
    for (long i = 0; i < mebibytes; ++i) {
        document.AppendRequest(header,
                               {reinterpret_cast<const std::uint8_t*>(chunk.data()), chunk.size()});
    }
    if (const auto failure = document.OnSaveDocument(file)) {
        std::fprintf(stderr, "%s\n", failure->c_str());
        return 1;
    }
    return 0;
}

int Open(int argc, char** argv, const std::string& file) {
    char folder[] = "/tmp/vantor-huge-bench-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
        return 1;
    }
    const std::string home = folder;
    ::setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
    ::setenv("XDG_STATE_HOME", (home + "/state").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (home + "/run").c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    {
        vantor::SettingsStore store(vantor::SettingsStore::CurrentUserFile());
        vantor::Profile profile(store, std::string(vantor::kApplicationKey));
        profile.WriteProfileInt("Preferences", "run_count", 1);  // past the first-run notice
        profile.Flush();
    }
    QApplication application(argc, argv);
    vantor::QtAppShell shell;
    vantor::CSnifferApp app(shell, vantor::AppPaths::ForCurrentUser());
    shell.SetApp(&app);
    const double before = CpuSeconds();
    int status = 1;
    if (app.InitInstance({file})) {
        vantor::CMainFrame& frame = *shell.frame();
        frame.show();
        QApplication::processEvents();
        frame.treeControl().Select(frame.treeControl().ItemAt(frame.treeControl().index(0, 0)));
        QApplication::processEvents();
        frame.grab();  // everything drawn once
        std::printf("opened, listed and shown: peak %ld MiB, %.2f s of CPU\n", PeakMebibytes(),
                    CpuSeconds() - before);
        status = 0;
    }
    app.ExitInstance();
    shell.DestroyMainFrame();
    std::string remove = "rm -rf " + home;
    return std::system(remove.c_str()) == 0 ? status : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 2 ? argv[1] : "";
    if (mode == "make" && argc == 4) {
        return Make(argv[2], std::atol(argv[3]));
    }
    if (mode == "open" && argc == 3) {
        return Open(argc, argv, argv[2]);
    }
    std::fputs("usage: huge_document_bench make FILE.vtr MEBIBYTES | open FILE.vtr\n", stderr);
    return 2;
}
