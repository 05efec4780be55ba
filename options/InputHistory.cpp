#include "options/InputHistory.h"

#include <algorithm>

namespace vantor {

void InputHistory::Add(std::string_view text) {
    if (text.empty()) {
        return;
    }
    if (std::find(m_slots.begin(), m_slots.end(), text) != m_slots.end()) {
        return;
    }
    for (std::size_t slot = kSize - 1; slot-- > 0;) {
        if (!m_slots[slot].empty()) {
            m_slots[slot + 1] = m_slots[slot];
        }
    }
    m_slots[0] = std::string(text);
}

std::size_t InputHistory::FilledCount() const {
    std::size_t count = 0;
    while (count < kSize && !m_slots[count].empty()) {
        ++count;
    }
    return count;
}

}  // namespace vantor
