#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace vantor {

// A ten-entry input history of a dialog's combo box: slot 0 is the newest, and the filled
// slots always come first.
class InputHistory {
public:
    static constexpr std::size_t kSize = 10;

    // Puts text in slot 0 and moves the others down one place, dropping slot 9 when all are
    // filled. An empty text, or one already present in any slot, leaves the history unchanged.
    void Add(std::string_view text);

    // The entries a drop-down list shows: from slot 0 up to the first empty slot.
    std::size_t FilledCount() const;

    std::string& operator[](std::size_t slot) { return m_slots[slot]; }
    const std::string& operator[](std::size_t slot) const { return m_slots[slot]; }

    friend bool operator==(const InputHistory&, const InputHistory&) = default;

private:
    std::array<std::string, kSize> m_slots;
};

}  // namespace vantor
