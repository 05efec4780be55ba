#include "platform/UserFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

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

std::filesystem::path TemporaryPathBeside(const std::filesystem::path& target) {
    static std::atomic<unsigned> counter{0};
    // Built by appending: GCC 12 warns falsely (-Wrestrict) on "." + std::string here.
    std::string name(".");
    name += target.filename().string();
    name += ".saving-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
    std::filesystem::path temporary = target;
    temporary.replace_filename(name);
    return temporary;
}

ReplacingFile::ReplacingFile(const std::filesystem::path& path) {
    const auto resolved = ResolveTrustedLinks(path);
    if (!resolved) {
        m_error = errno;
        return;
    }
    m_target = *resolved;
    struct stat existing {};
    const bool replaces = ::stat(m_target.c_str(), &existing) == 0;
    // A file the user may not write is not replaced, though its folder would allow it.
    if (replaces && ::faccessat(AT_FDCWD, m_target.c_str(), W_OK, AT_EACCESS) != 0) {
        m_error = errno;
        return;
    }
    if (replaces && !S_ISREG(existing.st_mode)) {
        // A device or a pipe (/dev/stdout, a FIFO) is written as it is: nothing to put in place.
        m_descriptor = ::open(m_target.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
        m_error = m_descriptor < 0 ? errno : 0;
        return;
    }
    m_temporary = TemporaryPathBeside(m_target);
    m_descriptor =
        ::open(m_temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (m_descriptor < 0) {
        m_error = errno;
        m_temporary.clear();
        return;
    }
    if (replaces) {
        ::fchmod(m_descriptor, existing.st_mode & 07777);
    }
}

ReplacingFile::~ReplacingFile() {
    if (m_owned && m_descriptor >= 0) {
        ::close(m_descriptor);
    }
    if (!m_committed && !m_temporary.empty()) {
        ::unlink(m_temporary.c_str());
    }
}

int ReplacingFile::TakeDescriptor() {
    m_owned = false;
    return m_descriptor;
}

bool ReplacingFile::Commit() {
    if (m_descriptor < 0) {
        return false;
    }
    if (!m_temporary.empty() && ::rename(m_temporary.c_str(), m_target.c_str()) != 0) {
        m_error = errno;
        return false;
    }
    m_committed = true;
    return true;
}

}  // namespace vantor
