#include "platform/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <charconv>

#include "platform/XdgPaths.h"

namespace vantor {

namespace {

std::filesystem::path LockFile(const std::string& name) {
    return PrivateRuntimeFolder() / (name + ".lock");
}

}  // namespace

std::unique_ptr<InstanceLock> InstanceLock::TryAcquire(const std::string& name,
                                                       std::string_view holder) {
    if (PreparePrivateRuntimeFolder()) {
        return nullptr;
    }
    const std::filesystem::path file = LockFile(name);
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return nullptr;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return nullptr;
    }
    const std::string text = std::string(holder) + " " + std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, text.data(), text.size(), 0) < 0) {
        // Not named: a copy that finds the lock taken just cannot say who holds it.
    }
    return std::unique_ptr<InstanceLock>(new InstanceLock(fd));
}

std::optional<InstanceLock::Holder> InstanceLock::CurrentHolder(const std::string& name) {
    const int fd = ::open(LockFile(name).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    // Taken by nobody: the lock can be had (and is let go at once).
    if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
        ::close(fd);
        return std::nullopt;
    }
    char text[128];
    const ssize_t length = ::pread(fd, text, sizeof text, 0);
    ::close(fd);
    if (length <= 0) {
        return std::nullopt;
    }
    const std::string_view line(text, static_cast<std::size_t>(length));
    const std::size_t space = line.find(' ');
    const std::size_t end = line.find('\n');
    if (space == std::string_view::npos || end == std::string_view::npos || end < space) {
        return std::nullopt;
    }
    Holder holder{std::string(line.substr(0, space)), 0};
    const auto [rest, error] =
        std::from_chars(line.data() + space + 1, line.data() + end, holder.pid);
    if (error != std::errc{} || rest != line.data() + end || holder.pid <= 0) {
        return std::nullopt;
    }
    return holder;
}

InstanceLock::~InstanceLock() {
    ::close(m_fd);
}

}  // namespace vantor
