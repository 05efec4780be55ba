#pragma once

#include <cstddef>
#include <string_view>

namespace vantor {

// The growable bytes of a message's text. It grows through realloc, which extends a large
// block in place (or remaps it) instead of copying what is already there, so keeping a body of
// megabytes costs one copy of each byte, not two.
class TextBuffer {
public:
    TextBuffer() = default;
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    ~TextBuffer();

    std::string_view view() const { return {m_data, m_size}; }
    operator std::string_view() const { return view(); }  // NOLINT: a text is read as a view
    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    char* data() { return m_data; }

    void Append(std::string_view bytes);
    // Makes the text count bytes longer and returns the new bytes, their content unspecified,
    // for the caller to fill.
    char* Extend(std::size_t count);
    // Makes room for the text to grow to capacity bytes without moving.
    void Reserve(std::size_t capacity);
    // Keeps the first size bytes and gives back the memory of the rest.
    void Truncate(std::size_t size);
    void Assign(std::string_view bytes);
    // Makes the text exactly size bytes long, their content unspecified, and returns them for
    // the caller to fill.
    char* Resize(std::size_t size);

private:
    void Reallocate(std::size_t capacity);

    char* m_data = nullptr;
    std::size_t m_size = 0;
    std::size_t m_capacity = 0;
};

}  // namespace vantor
