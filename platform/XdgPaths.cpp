#include "platform/XdgPaths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/RuntimeFolder.h"

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

// Whether folder, which must exist, is a real folder of the user's that others cannot write.
bool IsOwnFolder(const std::filesystem::path& folder, mode_t forbidden) {
    struct stat status {};
    return ::lstat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
           status.st_uid == ::geteuid() && (status.st_mode & forbidden) == 0;
}

}  // namespace

std::filesystem::path ConfigHome() {
    return FromVariable("XDG_CONFIG_HOME", Home() / ".config");
}

std::filesystem::path StateHome() {
    return FromVariable("XDG_STATE_HOME", Home() / ".local" / "state");
}

std::filesystem::path RuntimeFolder() {
    char folder[4096];
    if (vantor_runtime_folder(folder, sizeof folder, std::getenv("XDG_RUNTIME_DIR"),
                              std::getenv("TMPDIR"),
                              static_cast<unsigned long>(::geteuid())) == 0) {
        return "/nonexistent/vantor-runtime";
    }
    return folder;
}

std::filesystem::path PrivateRuntimeFolder() {
    return RuntimeFolder() / VANTOR_PRIVATE_FOLDER_NAME;
}

std::optional<std::string> PreparePrivateRuntimeFolder() {
    const std::filesystem::path runtime = RuntimeFolder();
    const char* given = std::getenv("XDG_RUNTIME_DIR");
    if (given == nullptr || given[0] != '/') {
        // Our own fallback, in a folder that everybody can write: someone else may have made
        // it first, to read or replace what we put there.
        if (::mkdir(runtime.c_str(), 0700) != 0 && errno != EEXIST) {
            return "cannot create the runtime folder " + runtime.string() +
                   " (set XDG_RUNTIME_DIR)";
        }
        if (!IsOwnFolder(runtime, 077)) {
            return "the runtime folder " + runtime.string() +
                   " belongs to another user or is open to others; remove it or set "
                   "XDG_RUNTIME_DIR";
        }
    } else if (!IsOwnFolder(runtime, 022)) {
        return "the runtime folder " + runtime.string() +
               " (XDG_RUNTIME_DIR) is missing, belongs to another user or can be written by "
               "others";
    }
    const std::filesystem::path folder = PrivateRuntimeFolder();
    if (!MakePrivateFolder(folder)) {
        return "the folder " + folder.string() +
               " cannot be created, belongs to another user or is not a folder";
    }
    return std::nullopt;
}

bool MakePrivateFolder(const std::filesystem::path& folder) {
    std::error_code error;
    std::filesystem::create_directories(folder.parent_path(), error);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        return false;
    }
    if (!IsOwnFolder(folder, 0)) {
        return false;
    }
    // Ours, but perhaps made more open by an older version or by hand: close it, through a
    // descriptor of the folder itself so that nothing swapped in meanwhile is changed.
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat status {};
    const bool ok = ::fstat(fd, &status) == 0 && status.st_uid == ::geteuid() &&
                    ((status.st_mode & 077) == 0 || ::fchmod(fd, 0700) == 0);
    ::close(fd);
    return ok;
}

}  // namespace vantor
