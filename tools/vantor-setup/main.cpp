// vantor-setup: the set-up step of an installation. Points the current user's settings at the
// folder of Vantor's help pages, as an installer does; the program itself never writes it.
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <string>

#include "options/AppStrings.h"
#include "framework/Profile.h"
#include "platform/SettingsStore.h"

namespace {

constexpr const char* kUsage =
    "usage: vantor-setup [--help-folder DIR]\n"
    "\n"
    "Sets the folder of Vantor's help pages in the current user's settings\n"
    "(Setup/ProgramFolder). Without --help-folder: share/vantor/help beside the folder of\n"
    "this program, where the build and 'cmake --install' put the pages.\n";

std::filesystem::path ProgramFolder() {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::current_path() : self.parent_path();
}

}  // namespace

int main(int argc, char** argv) {
    std::filesystem::path folder = ProgramFolder().parent_path() / "share" / "vantor" / "help";
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "-h" || argument == "--help") {
            std::cout << kUsage;
            return 0;
        }
        if (argument == "--help-folder" && i + 1 < argc) {
            folder = argv[++i];
        } else {
            std::cerr << "vantor-setup: unknown argument '" << argument << "'\n\n" << kUsage;
            return 2;
        }
    }
    std::error_code error;
    folder = std::filesystem::absolute(folder, error);
    if (!std::filesystem::is_directory(folder / "httphelp", error)) {
        std::cerr << "vantor-setup: " << folder.string() << " holds no help pages\n";
        return 1;
    }
    vantor::SettingsStore store(vantor::SettingsStore::CurrentUserFile());
    vantor::Profile profile(store, std::string(vantor::kApplicationKey));
    // The folder is put in front of help-file names as it is, so it ends with a slash.
    profile.WriteProfileString("Setup", "ProgramFolder", folder.string() + "/");
    if (!profile.Flush()) {
        std::cerr << "vantor-setup: cannot write " << store.file().string() << '\n';
        return 1;
    }
    return 0;
}
