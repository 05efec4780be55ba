#include "framework/ByteStreams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "framework/ArchiveExceptions.h"

namespace vantor {

namespace {

constexpr std::size_t kBufferSize = 256 * 1024;

[[noreturn]] void ThrowFileError(int errorNumber, const std::string& path, const char* action) {
    throw CFileException(errorNumber, path,
                         std::string(action) + " " + path + ": " + std::strerror(errorNumber));
}

}  // namespace

std::size_t MemoryByteSource::Read(std::span<std::uint8_t> into) {
    const std::size_t count = std::min(into.size(), m_bytes.size() - m_position);
    std::copy_n(m_bytes.begin() + static_cast<std::ptrdiff_t>(m_position), count, into.begin());
    m_position += count;
    return count;
}

void MemoryByteSink::Write(std::span<const std::uint8_t> bytes) {
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
}

FileByteSource::~FileByteSource() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

std::size_t FileByteSource::Fill() {
    while (true) {
        const ssize_t got = ::read(m_fd, m_buffer.data(), m_buffer.size());
        if (got >= 0) {
            m_begin = 0;
            m_end = static_cast<std::size_t>(got);
            return m_end;
        }
        if (errno != EINTR) {
            ThrowFileError(errno, m_path, "cannot read");
        }
    }
}

std::size_t FileByteSource::Read(std::span<std::uint8_t> into) {
    // Never past the size seen at open: a file that grows meanwhile does not lift the bound.
    const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(into.size(), Remaining()));
    std::size_t done = 0;
    while (done < wanted) {
        if (m_begin == m_end && Fill() == 0) {
            break;  // the file shrank
        }
        const std::size_t count = std::min(wanted - done, m_end - m_begin);
        std::memcpy(into.data() + done, m_buffer.data() + m_begin, count);
        m_begin += count;
        done += count;
    }
    m_consumed += done;
    return done;
}

FileByteSink::FileByteSink(const std::string& path, unsigned mode) : m_path(path) {
    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (m_fd < 0) {
        ThrowFileError(errno, path, "cannot create");
    }
    m_buffer.reserve(kBufferSize);
}

FileByteSink::~FileByteSink() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

void FileByteSink::Write(std::span<const std::uint8_t> bytes) {
    if (m_buffer.size() + bytes.size() > kBufferSize) {
        Flush();
    }
    if (bytes.size() >= kBufferSize) {
        WriteAll(bytes);  // large blocks go straight to the file, without a copy
        return;
    }
    m_buffer.insert(m_buffer.end(), bytes.begin(), bytes.end());
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
    WriteAll(m_buffer);
    m_buffer.clear();
}

void FileByteSink::Commit() {
    Flush();
    if (::fsync(m_fd) != 0) {
        ThrowFileError(errno, m_path, "cannot write");
    }
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0 && errno != EINTR) {
        ThrowFileError(errno, m_path, "cannot write");
    }
}

}  // namespace vantor
