#include "platform/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/XdgPaths.h"

namespace vantor {

std::unique_ptr<InstanceLock> InstanceLock::TryAcquire(const std::string& name) {
    if (PreparePrivateRuntimeFolder()) {
        return nullptr;
    }
    const std::filesystem::path file = PrivateRuntimeFolder() / (name + ".lock");
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return nullptr;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<InstanceLock>(new InstanceLock(fd));
}

InstanceLock::~InstanceLock() {
    ::close(m_fd);
}

}  // namespace vantor
