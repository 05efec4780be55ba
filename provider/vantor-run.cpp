// vantor-run CMD [ARGS...]: runs a program with the capture provider loaded while Vantor
// captures, and unchanged otherwise. It becomes the program (exec), so the program's exit
// status and output are its own.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>

#include "capture/CaptureChannel.h"
#include "capture/ChannelLayout.h"
#include "capture/ProviderInstaller.h"
#include "platform/ProtocolCatalog.h"

namespace {

constexpr std::string_view kUsage =
    "usage: vantor-run CMD [ARGS...]\n"
    "\n"
    "Runs CMD with Vantor's capture provider loaded, so that Vantor (vantor or vantor-dump)\n"
    "shows the HTTP requests and responses of its client connections. While Vantor is not\n"
    "running, CMD runs unchanged after one warning line. The exit status is CMD's.\n";

}  // namespace

int main(int argc, char** argv) {
    int first = 1;
    if (argc > 1 && std::string_view(argv[1]) == "--") {
        first = 2;
    } else if (argc > 1 &&
               (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
        std::cout << kUsage;
        return 0;
    }
    if (first >= argc) {
        std::cerr << kUsage;
        return 2;
    }

    const vantor::ProtocolCatalog catalog(vantor::ProtocolCatalog::DefaultFile());
    if (const auto provider = vantor::ProviderInstaller::ActiveProviderPath(catalog)) {
        const char* existing = std::getenv("LD_PRELOAD");
        std::string preload = *provider;
        if (existing != nullptr && existing[0] != '\0') {
            preload += std::string(" ") + existing;
        }
        ::setenv("LD_PRELOAD", preload.c_str(), 1);
        ::setenv(VANTOR_CHANNEL_VARIABLE, vantor::ChannelNames::DefaultTag().c_str(), 1);
    } else {
        std::cerr << "vantor-run: Vantor is not capturing; running " << argv[first]
                  << " without capture\n";
    }
    ::execvp(argv[first], argv + first);
    const int error = errno;
    std::cerr << "vantor-run: cannot run " << argv[first] << ": " << std::strerror(error) << '\n';
    return error == ENOENT ? 127 : 126;
}
