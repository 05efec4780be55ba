#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace vantor {

// Where an archive reads its bytes from. A source hands out bytes from a window of buffered
// bytes; only when the window runs dry does it go to its backing store.
class ByteSource {
public:
    virtual ~ByteSource() = default;

    // Fills as much of into as the source holds; returns the count. Throws CFileException when
    // the source fails.
    std::size_t Read(std::span<std::uint8_t> into) {
        if (into.empty()) {
            return 0;
        }
        if (into.size() <= static_cast<std::size_t>(m_end - m_next)) {
            std::memcpy(into.data(), m_next, into.size());
            m_next += into.size();
            return into.size();
        }
        return ReadMore(into);
    }

    // Bytes left to read: an archive checks every length it reads against this before it
    // allocates anything.
    virtual std::uint64_t Remaining() const = 0;

protected:
    // Reads into when the window holds too few bytes, refilling the window as it goes.
    virtual std::size_t ReadMore(std::span<std::uint8_t> into) = 0;
    std::size_t Buffered() const { return static_cast<std::size_t>(m_end - m_next); }

    const std::uint8_t* m_next = nullptr;
    const std::uint8_t* m_end = nullptr;
};

// Where an archive writes its bytes to. Like a source, a sink takes bytes into a window of
// buffer space and goes to its backing store only when the window is full.
class ByteSink {
public:
    virtual ~ByteSink() = default;

    // Throws CFileException when the sink fails.
    void Write(std::span<const std::uint8_t> bytes) {
        if (bytes.empty()) {
            return;
        }
        if (bytes.size() <= static_cast<std::size_t>(m_end - m_next)) {
            std::memcpy(m_next, bytes.data(), bytes.size());
            m_next += bytes.size();
            return;
        }
        WriteMore(bytes);
    }

protected:
    // Takes bytes when the window has too little room for them.
    virtual void WriteMore(std::span<const std::uint8_t> bytes) = 0;

    std::uint8_t* m_next = nullptr;
    std::uint8_t* m_end = nullptr;
};

class MemoryByteSource : public ByteSource {
public:
    explicit MemoryByteSource(std::span<const std::uint8_t> bytes) {
        m_next = bytes.data();
        m_end = bytes.data() + bytes.size();
    }
    std::uint64_t Remaining() const override { return Buffered(); }

protected:
    std::size_t ReadMore(std::span<std::uint8_t> into) override;
};

class MemoryByteSink : public ByteSink {
public:
    const std::vector<std::uint8_t>& bytes() const { return m_bytes; }

protected:
    void WriteMore(std::span<const std::uint8_t> bytes) override;

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

    std::uint64_t Remaining() const override { return m_size - (m_fetched - Buffered()); }
    std::uint64_t size() const { return m_size; }

protected:
    std::size_t ReadMore(std::span<std::uint8_t> into) override;

private:
    // Reads up to count bytes from the file, never past the size seen at open.
    std::size_t Fetch(std::uint8_t* into, std::size_t count);

    std::string m_path;
    int m_fd = -1;
    std::uint64_t m_size = 0;
    std::uint64_t m_fetched = 0;  // bytes taken from the file so far
    std::vector<std::uint8_t> m_buffer;
};

// Writes a new file through a buffer: Commit makes it durable (flush, fsync, close); a sink
// destroyed without Commit closes its file and leaves the rest to its owner.
class FileByteSink : public ByteSink {
public:
    // Writes to a descriptor opened elsewhere, and closes it; path names it in errors.
    FileByteSink(int descriptor, std::string path);
    ~FileByteSink() override;
    FileByteSink(const FileByteSink&) = delete;
    FileByteSink& operator=(const FileByteSink&) = delete;

    void Commit();
    int descriptor() const { return m_fd; }

protected:
    void WriteMore(std::span<const std::uint8_t> bytes) override;

private:
    void Flush();
    void WriteAll(std::span<const std::uint8_t> bytes);

    std::string m_path;
    int m_fd = -1;
    std::vector<std::uint8_t> m_buffer;
};

}  // namespace vantor
