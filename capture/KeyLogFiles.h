#pragma once

#include <cstdint>
#include <filesystem>
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

    // Follows the key logs vantor-run made for captured programs in the private runtime folder
    // that are not followed yet.
    void FollowProgramKeyLogs(const std::filesystem::path& folder);
    // Removes those key logs (capture stopped): the secrets in them are needed no more.
    void RemoveProgramKeyLogs(const std::filesystem::path& folder);

    static constexpr std::size_t kMostPerRead = 4u << 20;

private:
    struct File {
        std::string path;
        int fd = -1;
        bool fifo = false;
        std::uint64_t offset = 0;
        bool program = false;  // made by vantor-run
    };
    std::optional<std::string> Open(const std::string& path, bool program);
    std::vector<File> m_files;
};

// Makes an empty key log for a program vantor-run starts, in the private runtime folder,
// readable by the user only, under a name no other process can foresee; its path, or nothing
// with error set.
std::optional<std::filesystem::path> MakeProgramKeyLog(const std::filesystem::path& folder,
                                                       std::string& error);

}  // namespace vantor
