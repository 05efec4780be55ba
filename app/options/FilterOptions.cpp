#include "app/options/FilterOptions.h"

#include <algorithm>

#include "framework/AsciiText.h"

namespace vantor {

void FilterOptions::SplitHostWords() {
    m_hostWords.clear();
    std::string_view rest = TrimAsciiSpace(m_hostText);
    while (true) {
        const std::size_t end = std::min(rest.find_first_of(" \t"), rest.size());
        if (end == 0) {
            return;
        }
        m_hostWords.emplace_back(rest.substr(0, end));
        rest.remove_prefix(end);
        while (!rest.empty() && IsAsciiSpace(rest.front())) {
            rest.remove_prefix(1);
        }
    }
}

}  // namespace vantor
