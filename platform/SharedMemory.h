#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vantor {

// A named POSIX shared memory object, mapped read/write, private to the user (mode 0600). No
// descriptor stays open once the object is mapped.
class SharedMemory {
public:
    // Creates the object; a name that exists already, whoever made it, is never taken over.
    // Nothing when it cannot be created, sized or mapped; errno tells why.
    static std::unique_ptr<SharedMemory> Create(const std::string& name, std::size_t size);

    ~SharedMemory();
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;

    std::uint8_t* data() const { return m_data; }
    std::size_t size() const { return m_size; }
    const std::string& name() const { return m_name; }
    // Removes the name; the mapping stays valid for everyone who has it.
    void Unlink();

private:
    SharedMemory(std::string name, std::uint8_t* data, std::size_t size)
        : m_name(std::move(name)), m_data(data), m_size(size) {}
    static std::unique_ptr<SharedMemory> Map(const std::string& name, int fd, std::size_t size);

    std::string m_name;
    std::uint8_t* m_data;
    std::size_t m_size;
};

}  // namespace vantor
