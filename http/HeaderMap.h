#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vantor {

class HeaderLookup;

// Where the header fields of one message lie in its text: for each field the offsets and
// lengths of its name and value, in one block of exactly the size it needs. Names are matched
// without regard to case; a value that has upper-case letters keeps a lower-cased copy in the
// block, so that every value is read lower-cased, as the document compares them. The text
// itself stays the message's: a field costs 16 bytes, not a second copy of the header.
class HeaderMap {
public:
    // Collects fields found in text (name and value are parts of it) for a map that they
    // replace on CommitTo.
    class Builder {
    public:
        explicit Builder(std::string_view text);
        void Add(std::string_view name, std::string_view value);
        void CommitTo(HeaderMap& map);

    private:
        std::string_view m_text;
    };

    void Clear() { m_block.reset(); }

private:
    friend class HeaderLookup;
    // Words: the count of fields, then name offset, name length, value offset, value length
    // per field; then the lower-cased values, as bytes. A value offset with kLowered set counts
    // from the start of those bytes.
    static constexpr std::uint32_t kLowered = 0x80000000u;
    static constexpr std::size_t kWordsPerField = 4;

    std::unique_ptr<std::uint32_t[]> m_block;
};

// The fields of a header map over the text they were found in.
class HeaderLookup {
public:
    HeaderLookup(const HeaderMap& map, std::string_view text) : m_map(map), m_text(text) {}

    // The value of the last field named name (given lower-cased), lower-cased.
    std::optional<std::string_view> Find(std::string_view name) const;
    bool Contains(std::string_view name) const { return Find(name).has_value(); }

    // Calls visit(name, value) for every field, lower-cased, in the order they stand (a name
    // set twice comes twice; Find gives the later value).
    template <typename Visit>
    void ForEach(Visit visit) const;

private:
    std::size_t Count() const;
    std::string_view NameAt(std::size_t field) const;
    std::string_view ValueAt(std::size_t field) const;

    const HeaderMap& m_map;
    std::string_view m_text;
};

template <typename Visit>
void HeaderLookup::ForEach(Visit visit) const {
    std::string name;
    for (std::size_t i = 0; i < Count(); ++i) {
        const std::string_view raw = NameAt(i);
        name.assign(raw);
        for (char& c : name) {
            c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        }
        visit(std::string_view(name), ValueAt(i));
    }
}

}  // namespace vantor
