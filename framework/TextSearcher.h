#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace vantor {

// Looks for one text in many, with or without regard to the case of ASCII letters (other bytes
// are matched as they are). Prepared once for a search through every message of a document.
class TextSearcher {
public:
    TextSearcher(std::string_view what, bool matchCase);

    // The position of the first match at or after from, or npos. An empty text matches at from.
    std::size_t Find(std::string_view text, std::size_t from = 0) const;

    std::size_t size() const { return m_pattern.size(); }

private:
    unsigned char Fold(char c) const { return m_fold[static_cast<unsigned char>(c)]; }

    std::string m_pattern;  // folded
    std::array<unsigned char, 256> m_fold{};
    unsigned char m_caseBitOfFirst = 0;  // 0x20 when the first byte is a letter of either case
    unsigned char m_caseBitOfLast = 0;
};

}  // namespace vantor
