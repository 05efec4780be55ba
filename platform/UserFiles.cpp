#include "platform/UserFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
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

// The kernel's protected_regular and protected_fifos rules, kept whatever the system's setting
// and for root too: a file in a sticky folder that others can write (/tmp), owned neither by
// the user nor by the folder's owner, was made there by someone else for us to write into.
bool PlantedByAnother(const std::filesystem::path& file, const struct stat& status) {
    if (S_ISDIR(status.st_mode) || status.st_uid == ::geteuid()) {
        return false;
    }
    const std::filesystem::path parent = file.has_parent_path() ? file.parent_path() : ".";
    struct stat folder {};
    if (::stat(parent.c_str(), &folder) != 0) {
        return true;  // cannot tell: not ours to write
    }
    const bool shared = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & (S_IWOTH | S_IWGRP));
    return shared && status.st_uid != folder.st_uid;
}

// Opens file for writing with these more flags; a FIFO nobody reads fails (ENXIO) instead of
// waiting for a reader for ever. Writes then wait as usual.
int OpenWithoutWaiting(const std::filesystem::path& file, int flags) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK | flags, 0600);
    if (fd >= 0) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
    return fd;
}

// What a file that received a new capture may grant: nothing to all other users.
constexpr mode_t kCaptureModeMask = 07777 & ~static_cast<mode_t>(S_IRWXO);

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
        std::filesystem::path next = target.is_absolute() ? target : current.parent_path() / target;
        struct stat followed {};
        if (::lstat(next.c_str(), &followed) != 0 && ::stat(current.c_str(), &followed) == 0) {
            // A link whose text names nothing, yet leads somewhere: a descriptor's link in
            // /proc (/dev/stdout to a pipe). Only the kernel can follow it.
            return current;
        }
        current = std::move(next);
    }
    errno = ELOOP;
    return std::nullopt;
}

int OpenUserFileForWriting(const std::filesystem::path& path) {
    const auto file = ResolveTrustedLinks(path);
    if (!file) {
        return -1;
    }
    // No link is followed from here but a descriptor's own: what was checked is what is
    // opened. Nothing is truncated before the file is known to be one to write.
    struct stat link {};
    const bool exists = ::lstat(file->c_str(), &link) == 0;
    if (exists && PlantedByAnother(*file, link)) {
        errno = EACCES;
        return -1;
    }
    const bool descriptorLink = exists && S_ISLNK(link.st_mode);
    const int fd = OpenWithoutWaiting(*file, descriptorLink ? 0 : O_CREAT | O_NOFOLLOW);
    if (fd < 0) {
        return -1;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || PlantedByAnother(*file, status)) {
        ::close(fd);
        errno = EACCES;
        return -1;
    }
    if (S_ISREG(status.st_mode)) {
        if (::ftruncate(fd, 0) != 0) {
            const int error = errno;
            ::close(fd);
            errno = error;
            return -1;
        }
        if ((status.st_mode & S_IRWXO) != 0) {
            ::fchmod(fd, status.st_mode & kCaptureModeMask);
        }
    }
    return fd;
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
    // A file the user may not write is not replaced, though its folder would allow it; nor is
    // one someone else left in a folder everyone can write, whoever we are.
    if (replaces && ::faccessat(AT_FDCWD, m_target.c_str(), W_OK, AT_EACCESS) != 0) {
        m_error = errno;
        return;
    }
    if (replaces && PlantedByAnother(m_target, existing)) {
        m_error = EACCES;
        return;
    }
    if (replaces && !S_ISREG(existing.st_mode)) {
        // A device or a pipe (/dev/stdout, a FIFO) is written as it is: nothing to put in place.
        // A link left here is a descriptor's, which only the kernel follows.
        struct stat link {};
        const bool descriptorLink = ::lstat(m_target.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
        m_descriptor = OpenWithoutWaiting(m_target, descriptorLink ? 0 : O_NOFOLLOW);
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
        ::fchmod(m_descriptor, existing.st_mode & kCaptureModeMask);
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

std::optional<std::string> WriteUserFile(const std::filesystem::path& path,
                                         std::string_view bytes) {
    ReplacingFile file(path);
    const auto failed = [&path](int error) {
        return "Cannot write " + path.string() + ": " + std::strerror(error) + ".";
    };
    if (!file.ok()) {
        return failed(file.error());
    }
    const int descriptor = file.TakeDescriptor();
    while (!bytes.empty()) {
        const ssize_t written = ::write(descriptor, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            const int error = written < 0 ? errno : EIO;
            ::close(descriptor);
            return failed(error);
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    if (::close(descriptor) != 0) {
        return failed(errno);
    }
    if (!file.Commit()) {
        return failed(file.error());
    }
    return std::nullopt;
}

}  // namespace vantor
