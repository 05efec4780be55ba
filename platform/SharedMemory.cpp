#include "platform/SharedMemory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace vantor {

std::unique_ptr<SharedMemory> SharedMemory::Map(const std::string& name, int fd, std::size_t size) {
    void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    const int error = errno;
    ::close(fd);
    if (data == MAP_FAILED) {
        errno = error;
        return nullptr;
    }
    return std::unique_ptr<SharedMemory>(
        new SharedMemory(name, static_cast<std::uint8_t*>(data), size));
}

std::unique_ptr<SharedMemory> SharedMemory::Create(const std::string& name, std::size_t size) {
    const int fd =
        ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return nullptr;
    }
    if (::fchmod(fd, 0600) != 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
        const int error = errno;
        ::close(fd);
        ::shm_unlink(name.c_str());
        errno = error;
        return nullptr;
    }
    auto memory = Map(name, fd, size);
    if (memory == nullptr) {
        ::shm_unlink(name.c_str());
    }
    return memory;
}

SharedMemory::~SharedMemory() {
    ::munmap(m_data, m_size);
}

void SharedMemory::Unlink() {
    ::shm_unlink(m_name.c_str());
}

}  // namespace vantor
