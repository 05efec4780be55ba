#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantor {

// The header fields of one message, name to value, both lower-cased by the caller. A later
// field with the same name replaces the earlier one. All bytes live in one buffer so that a
// message with many headers costs two allocations, not two per field.
class HeaderMap {
public:
    void Clear();
    void Set(std::string_view name, std::string_view value);

    std::optional<std::string_view> Find(std::string_view name) const;
    bool Contains(std::string_view name) const { return Find(name).has_value(); }

    // The fields by name, each with its latest value.
    std::map<std::string, std::string> ToMap() const;
    std::size_t FieldCount() const { return m_fields.size(); }

private:
    struct Field {
        std::uint32_t nameOffset;
        std::uint32_t nameLength;
        std::uint32_t valueOffset;
        std::uint32_t valueLength;
    };

    std::string_view Slice(std::uint32_t offset, std::uint32_t length) const {
        return std::string_view(m_bytes).substr(offset, length);
    }

    std::string m_bytes;
    std::vector<Field> m_fields;  // in the order set; lookups take the last match
};

}  // namespace vantor
