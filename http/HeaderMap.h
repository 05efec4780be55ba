#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

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

    // The fields by name, each with its latest value.
    std::map<std::string, std::string> ToMap() const;
    std::size_t FieldCount() const;

private:
    // Calls visit(name, value) for every stored field, in the order they were set.
    template <typename Visit>
    void ForEach(Visit visit) const;

    std::string m_bytes;
};

}  // namespace vantor
