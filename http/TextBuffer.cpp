#include "http/TextBuffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace vantor {

TextBuffer::~TextBuffer() {
    std::free(m_data);
}

void TextBuffer::Reallocate(std::size_t capacity) {
    if (capacity == 0) {
        std::free(m_data);
        m_data = nullptr;
        m_capacity = 0;
        return;
    }
    void* grown = std::realloc(m_data, capacity);
    if (grown == nullptr) {
        throw std::bad_alloc();
    }
    m_data = static_cast<char*>(grown);
    m_capacity = capacity;
}

void TextBuffer::Append(std::string_view bytes) {
    if (!bytes.empty()) {
        std::memcpy(Extend(bytes.size()), bytes.data(), bytes.size());
    }
}

char* TextBuffer::Extend(std::size_t count) {
    const std::size_t needed = m_size + count;
    if (needed < m_size) {
        throw std::bad_alloc();
    }
    if (needed > m_capacity) {
        // The first piece gets exactly its size: most messages never grow past it.
        Reallocate(m_capacity == 0 ? needed : std::max(needed, m_capacity * 2));
    }
    char* const added = m_data + m_size;
    m_size = needed;
    return added;
}

void TextBuffer::Reserve(std::size_t capacity) {
    if (capacity > m_capacity) {
        Reallocate(capacity);
    }
}

void TextBuffer::Truncate(std::size_t size) {
    if (size < m_size) {
        m_size = size;
        Reallocate(size);
    }
}

char* TextBuffer::Resize(std::size_t size) {
    if (size != m_capacity) {
        Reallocate(size);
    }
    m_size = size;
    return m_data;
}

void TextBuffer::Assign(std::string_view bytes) {
    m_size = 0;
    Reallocate(bytes.size());
    Append(bytes);
}

}  // namespace vantor
