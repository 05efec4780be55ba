#pragma once

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "platform/EventLayout.h"

namespace vantor::test {

// The other end of the channel objects: a named shared memory object mapped the way the
// capture provider maps it (the user's own object of at least the size asked), and its event
// word handled as the provider handles it.
class MappedObject {
public:
    static std::unique_ptr<MappedObject> Open(const std::string& name, std::size_t size) {
        const int fd = ::shm_open(name.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0);
        if (fd < 0) {
            return nullptr;
        }
        struct stat status {};
        void* data = MAP_FAILED;
        if (::fstat(fd, &status) == 0 && status.st_uid == ::geteuid() &&
            static_cast<std::size_t>(status.st_size) >= size) {
            data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        }
        ::close(fd);
        if (data == MAP_FAILED) {
            return nullptr;
        }
        return std::unique_ptr<MappedObject>(
            new MappedObject(static_cast<std::uint8_t*>(data), size));
    }
    ~MappedObject() { ::munmap(m_data, m_size); }
    MappedObject(const MappedObject&) = delete;
    MappedObject& operator=(const MappedObject&) = delete;

    std::uint8_t* data() const { return m_data; }

private:
    MappedObject(std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    std::uint8_t* m_data;
    std::size_t m_size;
};

class EventEnd {
public:
    static std::unique_ptr<EventEnd> Open(const std::string& name) {
        auto object = MappedObject::Open(name, VANTOR_EVENT_OBJECT_SIZE);
        return object == nullptr ? nullptr
                                 : std::unique_ptr<EventEnd>(new EventEnd(std::move(object)));
    }

    std::uint32_t Word() const { return State().load(); }
    bool IsClosed() const { return (Word() & VANTOR_EVENT_CLOSED) != 0; }
    std::uint32_t Owner() const {
        std::uint32_t owner = 0;
        std::memcpy(&owner, m_object->data() + VANTOR_EVENT_OWNER_OFFSET, sizeof owner);
        return owner;
    }
    // The state word as the provider's code takes it.
    std::atomic<std::uint32_t>* Atomic() const {
        return reinterpret_cast<std::atomic<std::uint32_t>*>(Address());
    }
    void Set() {
        State().fetch_or(VANTOR_EVENT_SIGNALLED);
        Wake();
    }
    // Sleeps until the word changes from what it is now, at most timeout.
    void WaitForChange(std::chrono::milliseconds timeout) {
        const timespec relative{static_cast<time_t>(timeout.count() / 1000),
                                static_cast<long>(timeout.count() % 1000) * 1'000'000L};
        ::syscall(SYS_futex, Address(), FUTEX_WAIT, Word(), &relative, nullptr, 0);
    }

private:
    explicit EventEnd(std::unique_ptr<MappedObject> object) : m_object(std::move(object)) {}
    std::uint32_t* Address() const {
        return reinterpret_cast<std::uint32_t*>(m_object->data() + VANTOR_EVENT_STATE_OFFSET);
    }
    std::atomic_ref<std::uint32_t> State() const {
        return std::atomic_ref<std::uint32_t>(*Address());
    }
    void Wake() { ::syscall(SYS_futex, Address(), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0); }

    std::unique_ptr<MappedObject> m_object;
};

}  // namespace vantor::test
