#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vantor {

class KeyLog;

// Key logs read as programs write them: files (or FIFOs) a user names, and those vantor-run
// has captured programs write. A key log holds the secrets of every connection in it, so one
// that other users could read, a link, or another user's file is refused: nothing is read
// from it.
class KeyLogFiles {
public:
    KeyLogFiles() = default;
    ~KeyLogFiles();
    KeyLogFiles(const KeyLogFiles&) = delete;
    KeyLogFiles& operator=(const KeyLogFiles&) = delete;

    // Opens a key log to follow; why it was refused, or nothing.
    std::optional<std::string> Add(const std::string& path);
    // Feeds keys what was written to each key log since the last call (at most kMostPerRead
    // bytes each). Whether anything came.
    bool Read(KeyLog& keys);
    // Whether path is followed already.
    bool Follows(const std::string& path) const;

    static constexpr std::size_t kMostPerRead = 4u << 20;

private:
    struct File {
        std::string path;
        int fd = -1;
        bool fifo = false;
        std::uint64_t offset = 0;
    };
    std::vector<File> m_files;
};

}  // namespace vantor
