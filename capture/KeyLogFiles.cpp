#include "capture/KeyLogFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "protocol/tls/KeyLog.h"

namespace vantor {

namespace {

constexpr std::string_view kProgramKeyLogPrefix = "keylog-";

bool IsProgramKeyLog(const std::filesystem::directory_entry& entry) {
    const std::string name = entry.path().filename().string();
    return name.rfind(kProgramKeyLogPrefix, 0) == 0 && entry.is_regular_file();
}

}  // namespace

KeyLogFiles::~KeyLogFiles() {
    for (const File& file : m_files) {
        ::close(file.fd);
    }
}

bool KeyLogFiles::Follows(const std::string& path) const {
    return std::any_of(m_files.begin(), m_files.end(),
                       [&path](const File& file) { return file.path == path; });
}

std::optional<std::string> KeyLogFiles::Add(const std::string& path) {
    return Open(path, false);
}

std::optional<std::string> KeyLogFiles::Open(const std::string& path, bool program) {
    if (Follows(path)) {
        return std::nullopt;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        return "cannot open the key log " + path + ": " + std::strerror(errno);
    }
    struct stat status {};
    std::string refused;
    if (::fstat(fd, &status) != 0) {
        refused = "cannot read the key log " + path + ": " + std::strerror(errno);
    } else if (!S_ISREG(status.st_mode) && !S_ISFIFO(status.st_mode)) {
        refused = "the key log " + path + " is not a file";
    } else if (status.st_uid != ::geteuid() && ::geteuid() != 0) {
        refused = "the key log " + path + " belongs to another user: refused";
    } else if ((status.st_mode & 077) != 0) {
        refused = "the key log " + path +
                  " can be read or written by other users: refused (chmod 600 it)";
    }
    if (!refused.empty()) {
        ::close(fd);
        return refused;
    }
    m_files.push_back({path, fd, S_ISFIFO(status.st_mode), 0, program});
    return std::nullopt;
}

void KeyLogFiles::FollowProgramKeyLogs(const std::filesystem::path& folder) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        if (IsProgramKeyLog(entry) && !Follows(entry.path().string())) {
            Open(entry.path().string(), true);  // one that is refused is left alone
        }
    }
}

void KeyLogFiles::RemoveProgramKeyLogs(const std::filesystem::path& folder) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        if (!IsProgramKeyLog(entry)) {
            continue;
        }
        struct stat status {};
        // Only our own: the folder is ours, but look anyway.
        if (::lstat(entry.path().c_str(), &status) == 0 && status.st_uid == ::geteuid()) {
            ::unlink(entry.path().c_str());
        }
    }
    std::erase_if(m_files, [](const File& file) {
        if (file.program) {
            ::close(file.fd);
        }
        return file.program;
    });
}

std::optional<std::filesystem::path> MakeProgramKeyLog(const std::filesystem::path& folder,
                                                       std::string& error) {
    unsigned char random[8] = {};
    if (::getentropy(random, sizeof random) != 0) {
        error = std::string("no random name for a key log: ") + std::strerror(errno);
        return std::nullopt;
    }
    std::string name(kProgramKeyLogPrefix);
    name += std::to_string(::getpid()) + '-';
    static const char* digits = "0123456789abcdef";
    for (const unsigned char byte : random) {
        name += digits[byte >> 4];
        name += digits[byte & 15];
    }
    const std::filesystem::path path = folder / name;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot make a key log in " + folder.string() + ": " + std::strerror(errno);
        return std::nullopt;
    }
    ::close(fd);
    return path;
}

bool KeyLogFiles::Read(KeyLog& keys) {
    bool any = false;
    char buffer[65536];
    for (File& file : m_files) {
        if (!file.fifo) {
            struct stat status {};
            if (::fstat(file.fd, &status) == 0 &&
                static_cast<std::uint64_t>(status.st_size) < file.offset) {
                file.offset = 0;  // written anew
            }
        }
        std::size_t taken = 0;
        while (taken < kMostPerRead) {
            const ssize_t got = file.fifo ? ::read(file.fd, buffer, sizeof buffer)
                                          : ::pread(file.fd, buffer, sizeof buffer,
                                                    static_cast<off_t>(file.offset));
            if (got <= 0) {
                break;  // all of it for now (or the FIFO has no writer)
            }
            keys.Feed(std::string_view(buffer, static_cast<std::size_t>(got)));
            file.offset += static_cast<std::uint64_t>(got);
            taken += static_cast<std::size_t>(got);
            any = true;
        }
    }
    return any;
}

}  // namespace vantor
