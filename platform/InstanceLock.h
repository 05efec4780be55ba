#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vantor {

// The single-instance lock: an exclusive lock on a file in the private runtime folder, which
// the kernel releases when the process ends, however it ends. The file names its holder, so
// that a copy that finds the lock taken can tell the user what runs.
class InstanceLock {
public:
    // The lock of this name ("VANTOR_RUNNING"), or nothing when another process holds it or the
    // lock file cannot be made. holder: the program that takes it ("vantor", "vantor-dump").
    static std::unique_ptr<InstanceLock> TryAcquire(const std::string& name,
                                                    std::string_view holder = "vantor");
    // Who holds the lock of this name: the program and its process id, as the holder wrote
    // them; nothing when nobody holds it or it cannot be told.
    struct Holder {
        std::string program;
        long pid = 0;
    };
    static std::optional<Holder> CurrentHolder(const std::string& name);

    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

private:
    explicit InstanceLock(int fd) : m_fd(fd) {}
    int m_fd;
};

}  // namespace vantor
