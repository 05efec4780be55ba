#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/Endian.h"

namespace vantor {

// The header fields of one message, name to value, both lower-cased as they are stored. A
// later field with the same name replaces the earlier one.
//
// Fields are packed into one buffer, each as its name length and value length (32 bits each)
// followed by its bytes, and built in a scratch buffer so that the message keeps a single
// allocation of exactly the size it needs. Lookups walk the fields; a message has few, and
// the document looks up only a few names per message.
class HeaderMap {
public:
    // Collects fields for a map that replaces this one on Commit.
    class Builder {
    public:
        Builder();
        // Stores name and value, lower-cased.
        void Add(std::string_view name, std::string_view value);
        // Appends the collected fields to map.
        void CommitTo(HeaderMap& map);

    private:
        std::string& m_scratch;
    };

    void Clear() { m_bytes.clear(); }

    std::optional<std::string_view> Find(std::string_view name) const;
    bool Contains(std::string_view name) const { return Find(name).has_value(); }

    // Calls visit(name, value) for every stored field, in the order they were set (a name
    // set twice comes twice; Find gives the later value).
    template <typename Visit>
    void ForEach(Visit visit) const;

private:
    static constexpr std::size_t kFieldPrefix = 8;  // two 32-bit little-endian lengths
    static std::size_t LengthAt(std::string_view bytes, std::size_t offset) {
        return LoadLE32(std::span<const std::uint8_t, 4>(
            reinterpret_cast<const std::uint8_t*>(bytes.data() + offset), 4));
    }

    std::string m_bytes;
};

template <typename Visit>
void HeaderMap::ForEach(Visit visit) const {
    const std::string_view bytes = m_bytes;
    std::size_t offset = 0;
    while (offset + kFieldPrefix <= bytes.size()) {
        const std::size_t nameLength = LengthAt(bytes, offset);
        const std::size_t valueLength = LengthAt(bytes, offset + 4);
        offset += kFieldPrefix;
        visit(bytes.substr(offset, nameLength), bytes.substr(offset + nameLength, valueLength));
        offset += nameLength + valueLength;
    }
}

}  // namespace vantor
