#include "http/HeaderMap.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/AsciiText.h"

namespace vantor {

namespace {

// Parsing happens on the window thread, one message at a time; the scratch buffers keep their
// capacity from one message to the next.
struct Scratch {
    std::vector<std::uint32_t> words;
    std::string lowered;
};

Scratch& TheScratch() {
    thread_local Scratch scratch;
    return scratch;
}

bool HasUpperCase(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

}  // namespace

HeaderMap::Builder::Builder(std::string_view text) : m_text(text) {
    Scratch& scratch = TheScratch();
    scratch.words.assign(1, 0);
    scratch.lowered.clear();
}

void HeaderMap::Builder::Add(std::string_view name, std::string_view value) {
    Scratch& scratch = TheScratch();
    const auto offsetOf = [&](std::string_view part) {
        return static_cast<std::size_t>(part.data() - m_text.data());
    };
    const std::size_t nameAt = offsetOf(name);
    const std::size_t valueAt = offsetOf(value);
    // Offsets and lengths are 31 bits: a field past that (in a header of gigabytes) is left out.
    constexpr std::size_t kLimit = kLowered - 1;
    if (nameAt > kLimit || name.size() > kLimit || valueAt > kLimit || value.size() > kLimit ||
        scratch.lowered.size() > kLimit - value.size()) {
        return;
    }
    std::uint32_t valueWord = static_cast<std::uint32_t>(valueAt);
    if (HasUpperCase(value)) {
        valueWord = static_cast<std::uint32_t>(scratch.lowered.size()) | kLowered;
        for (const char c : value) {
            scratch.lowered += AsciiToLower(c);
        }
    }
    scratch.words.insert(scratch.words.end(),
                         {static_cast<std::uint32_t>(nameAt),
                          static_cast<std::uint32_t>(name.size()), valueWord,
                          static_cast<std::uint32_t>(value.size())});
    ++scratch.words[0];
}

void HeaderMap::Builder::CommitTo(HeaderMap& map) {
    Scratch& scratch = TheScratch();
    if (scratch.words[0] == 0) {
        map.m_block.reset();
        return;
    }
    const std::size_t loweredWords = (scratch.lowered.size() + 3) / 4;
    map.m_block = std::make_unique_for_overwrite<std::uint32_t[]>(scratch.words.size() +
                                                                  loweredWords);
    std::copy(scratch.words.begin(), scratch.words.end(), map.m_block.get());
    std::memcpy(map.m_block.get() + scratch.words.size(), scratch.lowered.data(),
                scratch.lowered.size());
}

std::size_t HeaderLookup::Count() const {
    return m_map.m_block != nullptr ? m_map.m_block[0] : 0;
}

std::string_view HeaderLookup::NameAt(std::size_t field) const {
    const std::uint32_t* words = m_map.m_block.get() + 1 + field * HeaderMap::kWordsPerField;
    return m_text.substr(std::min<std::size_t>(words[0], m_text.size()), words[1]);
}

std::string_view HeaderLookup::ValueAt(std::size_t field) const {
    const std::uint32_t* words = m_map.m_block.get() + 1 + field * HeaderMap::kWordsPerField;
    if ((words[2] & HeaderMap::kLowered) != 0) {
        const auto* lowered = reinterpret_cast<const char*>(m_map.m_block.get() + 1 +
                                                            Count() * HeaderMap::kWordsPerField);
        return {lowered + (words[2] & ~HeaderMap::kLowered), words[3]};
    }
    return m_text.substr(std::min<std::size_t>(words[2], m_text.size()), words[3]);
}

std::optional<std::string_view> HeaderLookup::Find(std::string_view name) const {
    const std::uint32_t* block = m_map.m_block.get();
    if (block == nullptr || name.size() > m_text.size()) {
        return std::nullopt;
    }
    // From the last field back: a name set twice gives its later value.
    for (std::size_t i = block[0]; i-- > 0;) {
        const std::uint32_t* field = block + 1 + i * HeaderMap::kWordsPerField;
        if (field[1] != name.size() || field[0] > m_text.size() - name.size()) {
            continue;
        }
        const char* at = m_text.data() + field[0];
        std::size_t same = 0;
        while (same < name.size() && AsciiToLower(at[same]) == name[same]) {
            ++same;
        }
        if (same == name.size()) {
            return ValueAt(i);
        }
    }
    return std::nullopt;
}

}  // namespace vantor
