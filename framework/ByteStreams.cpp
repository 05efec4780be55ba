#include "framework/ByteStreams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "framework/ArchiveExceptions.h"

namespace vantor {

namespace {

constexpr std::size_t kBufferSize = 256 * 1024;

[[noreturn]] void ThrowFileError(int errorNumber, const std::string& path, const char* action) {
    throw CFileException(errorNumber, path,
                         std::string(action) + " " + path + ": " + std::strerror(errorNumber));
}

}  // namespace

std::size_t MemoryByteSource::ReadMore(std::span<std::uint8_t> into) {
    const std::size_t count = std::min(into.size(), Buffered());
    if (count == 0) {
        return 0;
    }
    std::memcpy(into.data(), m_next, count);
    m_next += count;
    return count;
}

void MemoryByteSink::WriteMore(std::span<const std::uint8_t> bytes) {
    m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
}

FileByteSource::FileByteSource(const std::string& path) : m_path(path) {
    m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0) {
        ThrowFileError(errno, path, "cannot open");
    }
    struct stat status {};
    if (::fstat(m_fd, &status) != 0) {
        const int error = errno;
        ::close(m_fd);
        ThrowFileError(error, path, "cannot read");
    }
    if (!S_ISREG(status.st_mode)) {
        ::close(m_fd);
        ThrowFileError(S_ISDIR(status.st_mode) ? EISDIR : EINVAL, path, "cannot read");
    }
    m_size = static_cast<std::uint64_t>(status.st_size);
    m_buffer.resize(kBufferSize);
    m_next = m_end = m_buffer.data();
}

FileByteSource::~FileByteSource() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

std::size_t FileByteSource::Fetch(std::uint8_t* into, std::size_t count) {
    count = static_cast<std::size_t>(std::min<std::uint64_t>(count, m_size - m_fetched));
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = ::read(m_fd, into + done, count - done);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            ThrowFileError(errno, m_path, "cannot read");
        }
        if (got == 0) {
            break;  // the file shrank since it was opened
        }
        done += static_cast<std::size_t>(got);
    }
    m_fetched += done;
    return done;
}

std::size_t FileByteSource::ReadMore(std::span<std::uint8_t> into) {
    // What the window still holds, then either one direct read for a large request or a
    // refilled window for a small one.
    std::size_t done = Buffered();
    std::memcpy(into.data(), m_next, done);
    m_next = m_end = m_buffer.data();
    const std::size_t wanted = into.size() - done;
    if (wanted >= m_buffer.size()) {
        return done + Fetch(into.data() + done, wanted);
    }
    const std::size_t filled = Fetch(m_buffer.data(), m_buffer.size());
    m_end = m_buffer.data() + filled;
    const std::size_t count = std::min(wanted, filled);
    std::memcpy(into.data() + done, m_next, count);
    m_next += count;
    return done + count;
}

FileByteSink::FileByteSink(int descriptor, std::string path)
    : m_path(std::move(path)), m_fd(descriptor) {
    m_buffer.resize(kBufferSize);
    m_next = m_buffer.data();
    m_end = m_buffer.data() + m_buffer.size();
}

FileByteSink::~FileByteSink() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

void FileByteSink::WriteMore(std::span<const std::uint8_t> bytes) {
    Flush();
    if (bytes.size() >= m_buffer.size()) {
        WriteAll(bytes);  // large blocks go straight to the file, without a copy
        return;
    }
    std::memcpy(m_next, bytes.data(), bytes.size());
    m_next += bytes.size();
}

void FileByteSink::WriteAll(std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = ::write(m_fd, bytes.data() + done, bytes.size() - done);
        if (wrote < 0) {
            if (errno == EINTR) {
                continue;
            }
            ThrowFileError(errno, m_path, "cannot write");
        }
        done += static_cast<std::size_t>(wrote);
    }
}

void FileByteSink::Flush() {
    WriteAll({m_buffer.data(), static_cast<std::size_t>(m_next - m_buffer.data())});
    m_next = m_buffer.data();
}

void FileByteSink::Commit() {
    Flush();
    // A pipe or a socket has nothing to make durable (EINVAL).
    if (::fsync(m_fd) != 0 && errno != EINVAL) {
        ThrowFileError(errno, m_path, "cannot write");
    }
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0 && errno != EINTR) {
        ThrowFileError(errno, m_path, "cannot write");
    }
}

}  // namespace vantor
