// vantor-run CMD [ARGS...]: runs a program with the capture provider loaded while Vantor
// captures, and unchanged otherwise. It becomes the program (exec), so the program's exit
// status and output are its own.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "capture/CaptureChannel.h"
#include "capture/ChannelLayout.h"
#include "capture/KeyLogFiles.h"
#include "capture/ProviderInstaller.h"
#include "platform/ProtocolCatalog.h"
#include "platform/XdgPaths.h"

namespace {

constexpr std::string_view kUsage =
    "usage: vantor-run CMD [ARGS...]\n"
    "\n"
    "Runs CMD with Vantor's capture provider loaded, so that Vantor (vantor or vantor-dump)\n"
    "shows the HTTP requests and responses of its client connections. While Vantor is not\n"
    "running, CMD runs unchanged after one warning line. The exit status is CMD's.\n"
    "\n"
    "HTTPS that CMD does not run through the TLS libraries the provider hooks (node, Python's\n"
    "asyncio, programs with a TLS library of their own) is decrypted with the keys CMD logs:\n"
    "vantor-run asks for them with SSLKEYLOGFILE (unless it is set already) and, for node,\n"
    "--tls-keylog in NODE_OPTIONS, into a file in Vantor's private runtime folder that only\n"
    "you can read, removed when capture stops.\n";

// The dynamic loader splits LD_PRELOAD at spaces and colons, and no quoting helps.
bool FitsPreload(const std::string& path) {
    return path.find_first_of(" :\t\n") == std::string::npos;
}

// A path of a library of the provider's that LD_PRELOAD (or LD_AUDIT) can carry: its own, or a
// link to it of the same name in the private runtime folder. Nothing, with the reason, when
// there is none.
std::optional<std::string> PreloadablePath(const std::string& library, std::string& reason) {
    if (FitsPreload(library)) {
        return library;
    }
    const std::filesystem::path link =
        vantor::PrivateRuntimeFolder() / std::filesystem::path(library).filename();
    if (!FitsPreload(link.string())) {
        reason = "the paths of the capture provider (" + library +
                 ") and of the runtime folder hold spaces or colons, which LD_PRELOAD cannot "
                 "carry";
        return std::nullopt;
    }
    // A new link renamed over the old one: a program starting now sees one or the other.
    std::filesystem::path temporary = link;
    temporary += "." + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    if (::symlink(library.c_str(), temporary.c_str()) != 0 ||
        ::rename(temporary.c_str(), link.c_str()) != 0) {
        reason = "cannot link the capture provider into " + link.parent_path().string() + ": " +
                 std::strerror(errno);
        ::unlink(temporary.c_str());
        return std::nullopt;
    }
    return link.string();
}

// Asks the program to log its TLS keys into a key log of its own in the private runtime
// folder, where Vantor reads it. A key log the user asked for already is left as it is.
void AskForKeyLog() {
    if (const char* own = std::getenv("SSLKEYLOGFILE"); own != nullptr && own[0] != '\0') {
        return;
    }
    std::string error;
    const auto keyLog = vantor::MakeProgramKeyLog(vantor::PrivateRuntimeFolder(), error);
    if (!keyLog) {
        std::cerr << "vantor-run: " << error << "; HTTPS the hooks do not see stays encrypted\n";
        return;
    }
    ::setenv("SSLKEYLOGFILE", keyLog->c_str(), 1);
    // node takes options from NODE_OPTIONS, split at spaces; a path with one is quoted.
    std::string option = "--tls-keylog=" + keyLog->string();
    if (option.find(' ') != std::string::npos) {
        option = "\"" + option + "\"";
    }
    const char* nodeOptions = std::getenv("NODE_OPTIONS");
    const std::string value = nodeOptions != nullptr && nodeOptions[0] != '\0'
                                  ? std::string(nodeOptions) + " " + option
                                  : option;
    ::setenv("NODE_OPTIONS", value.c_str(), 1);
}

// Sets the program's environment up for capture; the reason when capture is not possible.
std::optional<std::string> PrepareCapture() {
    const std::filesystem::path catalogFile = vantor::ProtocolCatalog::DefaultFile();
    if (::access(catalogFile.c_str(), R_OK) != 0 && errno != ENOENT) {
        return "cannot read " + catalogFile.string() + ": " + std::strerror(errno);
    }
    const vantor::ProtocolCatalog catalog(catalogFile);
    const auto provider = vantor::ProviderInstaller::ActiveProviderPath(catalog);
    if (!provider) {
        return "Vantor is not capturing";
    }
    if (const auto problem = vantor::PreparePrivateRuntimeFolder()) {
        return *problem;
    }
    std::string reason;
    const auto path = PreloadablePath(*provider, reason);
    if (!path) {
        return reason;
    }
    const char* existing = std::getenv("LD_PRELOAD");
    std::string preload = *path;
    if (existing != nullptr && existing[0] != '\0') {
        preload += std::string(" ") + existing;
    }
    ::setenv("LD_PRELOAD", preload.c_str(), 1);
    // Libraries opened with RTLD_DEEPBIND bind past the preload; the audit library beside the
    // provider turns them to its hooks.
    const std::filesystem::path audit =
        std::filesystem::path(*provider).parent_path() / "libvtcap_audit.so";
    std::string unused;
    if (::access(audit.c_str(), R_OK) == 0) {
        if (const auto auditPath = PreloadablePath(audit.string(), unused)) {
            const char* audits = std::getenv("LD_AUDIT");
            std::string value = *auditPath;
            if (audits != nullptr && audits[0] != '\0') {
                value += std::string(":") + audits;
            }
            ::setenv("LD_AUDIT", value.c_str(), 1);
        }
    }
    ::setenv(VANTOR_CHANNEL_VARIABLE, vantor::CaptureChannel::DefaultSocketPath().c_str(), 1);
    AskForKeyLog();
    return std::nullopt;
}

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

    // The program runs whatever happens here: without capture if it must, saying why.
    std::optional<std::string> reason;
    try {
        reason = PrepareCapture();
    } catch (const std::exception& error) {
        reason = error.what();
    } catch (...) {
        reason = "capture could not be prepared";
    }
    if (reason) {
        std::cerr << "vantor-run: " << *reason << "; running " << argv[first]
                  << " without capture\n";
    }
    ::execvp(argv[first], argv + first);
    const int error = errno;
    std::cerr << "vantor-run: cannot run " << argv[first] << ": " << std::strerror(error) << '\n';
    return error == ENOENT ? 127 : 126;
}
