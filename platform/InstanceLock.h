#pragma once

#include <memory>
#include <string>

namespace vantor {

// The single-instance lock: an exclusive lock on a file in the runtime folder, which the kernel
// releases when the process ends, however it ends.
class InstanceLock {
public:
    // The lock of this name ("VANTOR_RUNNING"), or nothing when another process holds it or the
    // lock file cannot be made.
    static std::unique_ptr<InstanceLock> TryAcquire(const std::string& name);

    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

private:
    explicit InstanceLock(int fd) : m_fd(fd) {}
    int m_fd;
};

}  // namespace vantor
