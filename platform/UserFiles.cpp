#include "platform/UserFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace vantor {

namespace {

constexpr int kMostLinks = 40;  // as the kernel allows

bool TrustedLink(const std::filesystem::path& link, const struct stat& linkStatus) {
    const uid_t self = ::geteuid();
    if (linkStatus.st_uid != self && linkStatus.st_uid != 0) {
        return false;
    }
    const std::filesystem::path parent = link.has_parent_path() ? link.parent_path() : ".";
    struct stat folder {};
    if (::stat(parent.c_str(), &folder) != 0) {
        return false;
    }
    const bool openToAll = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
    return !openToAll || linkStatus.st_uid == self || linkStatus.st_uid == folder.st_uid;
}

}  // namespace

std::optional<std::filesystem::path> ResolveTrustedLinks(const std::filesystem::path& path) {
    std::filesystem::path current = path;
    for (int hops = 0; hops <= kMostLinks; ++hops) {
        struct stat status {};
        if (::lstat(current.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
            return current;  // the file itself, or a new one
        }
        if (!TrustedLink(current, status)) {
            errno = EACCES;
            return std::nullopt;
        }
        std::error_code error;
        const std::filesystem::path target = std::filesystem::read_symlink(current, error);
        if (error) {
            errno = error.value();
            return std::nullopt;
        }
        current = target.is_absolute() ? target : current.parent_path() / target;
    }
    errno = ELOOP;
    return std::nullopt;
}

int OpenUserFileForWriting(const std::filesystem::path& path) {
    const auto file = ResolveTrustedLinks(path);
    if (!file) {
        return -1;
    }
    // No link is followed from here: what was checked is what is opened.
    return ::open(file->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
}

}  // namespace vantor
