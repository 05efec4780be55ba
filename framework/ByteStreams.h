#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vantor {

// Where an archive reads its bytes from.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Fills as much of into as the source holds; returns the count. Throws CFileException when
    // the source fails.
    virtual std::size_t Read(std::span<std::uint8_t> into) = 0;
    // Bytes left to read: an archive checks every length it reads against this before it
    // allocates anything.
    virtual std::uint64_t Remaining() const = 0;
};

// Where an archive writes its bytes to.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    // Throws CFileException when the sink fails.
    virtual void Write(std::span<const std::uint8_t> bytes) = 0;
};

class MemoryByteSource : public ByteSource {
public:
    explicit MemoryByteSource(std::span<const std::uint8_t> bytes) : m_bytes(bytes) {}
    std::size_t Read(std::span<std::uint8_t> into) override;
    std::uint64_t Remaining() const override { return m_bytes.size() - m_position; }

private:
    std::span<const std::uint8_t> m_bytes;
    std::size_t m_position = 0;
};

class MemoryByteSink : public ByteSink {
public:
    void Write(std::span<const std::uint8_t> bytes) override;
    const std::vector<std::uint8_t>& bytes() const { return m_bytes; }

private:
    std::vector<std::uint8_t> m_bytes;
};

// Reads a file through a buffer. The size is taken when the file is opened.
class FileByteSource : public ByteSource {
public:
    // Throws CFileException when the file cannot be opened or is not a regular file.
    explicit FileByteSource(const std::string& path);
    ~FileByteSource() override;
    FileByteSource(const FileByteSource&) = delete;
    FileByteSource& operator=(const FileByteSource&) = delete;

    std::size_t Read(std::span<std::uint8_t> into) override;
    std::uint64_t Remaining() const override { return m_size - m_consumed; }
    std::uint64_t size() const { return m_size; }

private:
    std::size_t Fill();

    std::string m_path;
    int m_fd = -1;
    std::uint64_t m_size = 0;
    std::uint64_t m_consumed = 0;
    std::vector<std::uint8_t> m_buffer;
    std::size_t m_begin = 0;
    std::size_t m_end = 0;
};

// Writes a new file through a buffer: Commit makes it durable (flush, fsync, close); a sink
// destroyed without Commit closes its file and leaves the rest to its owner.
class FileByteSink : public ByteSink {
public:
    // Creates path, which must not exist yet, with the given permission bits (less the umask).
    FileByteSink(const std::string& path, unsigned mode);
    ~FileByteSink() override;
    FileByteSink(const FileByteSink&) = delete;
    FileByteSink& operator=(const FileByteSink&) = delete;

    void Write(std::span<const std::uint8_t> bytes) override;
    void Commit();
    int descriptor() const { return m_fd; }

private:
    void Flush();
    void WriteAll(std::span<const std::uint8_t> bytes);

    std::string m_path;
    int m_fd = -1;
    std::vector<std::uint8_t> m_buffer;
};

}  // namespace vantor
