#include "platform/XdgPaths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace vantor {

namespace {

std::filesystem::path Home() {
    const char* home = std::getenv("HOME");
    return home != nullptr && home[0] == '/' ? home : "/tmp";
}

std::filesystem::path FromVariable(const char* name, const std::filesystem::path& fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] == '/' ? std::filesystem::path(value) : fallback;
}

}  // namespace

std::filesystem::path ConfigHome() {
    return FromVariable("XDG_CONFIG_HOME", Home() / ".config");
}

std::filesystem::path StateHome() {
    return FromVariable("XDG_STATE_HOME", Home() / ".local" / "state");
}

std::filesystem::path RuntimeFolder() {
    const char* value = std::getenv("XDG_RUNTIME_DIR");
    if (value != nullptr && value[0] == '/') {
        return value;
    }
    const std::filesystem::path fallback = "/tmp/vantor-runtime-" + std::to_string(::geteuid());
    MakePrivateFolder(fallback);
    return fallback;
}

bool MakePrivateFolder(const std::filesystem::path& folder) {
    std::error_code error;
    std::filesystem::create_directories(folder.parent_path(), error);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        return false;
    }
    struct stat status {};
    return ::lstat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
           status.st_uid == ::geteuid();
}

}  // namespace vantor
