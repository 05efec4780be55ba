#include "framework/TextSearcher.h"

#include <cstdint>
#include <cstring>

#include "platform/AsciiText.h"

namespace vantor {

TextSearcher::TextSearcher(std::string_view what, bool matchCase) {
    for (std::size_t b = 0; b < m_fold.size(); ++b) {
        const auto c = static_cast<char>(b);
        m_fold[b] = static_cast<unsigned char>(matchCase ? c : AsciiToLower(c));
    }
    m_pattern.reserve(what.size());
    for (const char c : what) {
        m_pattern.push_back(static_cast<char>(Fold(c)));
    }
    auto caseBit = [matchCase](char c) -> unsigned char {
        return !matchCase && c >= 'a' && c <= 'z' ? 0x20 : 0;
    };
    if (!m_pattern.empty()) {
        m_caseBitOfFirst = caseBit(m_pattern.front());
        m_caseBitOfLast = caseBit(m_pattern.back());
    }
}

std::size_t TextSearcher::Find(std::string_view text, std::size_t from) const {
    const std::size_t length = m_pattern.size();
    if (from > text.size() || text.size() - from < length) {
        return std::string_view::npos;
    }
    if (length == 0) {
        return from;
    }
    const auto* const data = reinterpret_cast<const unsigned char*>(text.data());
    auto matchesAt = [&](std::size_t at) {
        for (std::size_t i = 0; i < length; ++i) {
            if (Fold(static_cast<char>(data[at + i])) != static_cast<unsigned char>(m_pattern[i])) {
                return false;
            }
        }
        return true;
    };
    // Blocks of positions are first sifted by their first and last bytes alone, in a loop simple
    // enough for the compiler to do many positions at once; ORing in the case bit lets through
    // both cases of a letter (and a few other bytes, which the full comparison turns away).
    const unsigned char first = static_cast<unsigned char>(m_pattern.front());
    const unsigned char last = static_cast<unsigned char>(m_pattern.back());
    const unsigned char firstBit = m_caseBitOfFirst;
    const unsigned char lastBit = m_caseBitOfLast;
    constexpr std::size_t kBlock = 32;
    std::size_t at = from;
    for (; at + kBlock + length - 1 <= text.size(); at += kBlock) {
        std::array<unsigned char, kBlock> candidate;
        for (std::size_t j = 0; j < kBlock; ++j) {
            candidate[j] =
                static_cast<unsigned char>(((data[at + j] | firstBit) == first) &
                                           ((data[at + j + length - 1] | lastBit) == last));
        }
        std::uint64_t any = 0;
        for (std::size_t w = 0; w < kBlock; w += 8) {
            std::uint64_t word;
            std::memcpy(&word, candidate.data() + w, sizeof word);
            any |= word;
        }
        if (any == 0) {
            continue;
        }
        for (std::size_t j = 0; j < kBlock; ++j) {
            if (candidate[j] != 0 && matchesAt(at + j)) {
                return at + j;
            }
        }
    }
    for (; at + length <= text.size(); ++at) {
        if (matchesAt(at)) {
            return at;
        }
    }
    return std::string_view::npos;
}

}  // namespace vantor
