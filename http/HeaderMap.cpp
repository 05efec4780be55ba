#include "http/HeaderMap.h"

#include <limits>

namespace vantor {

void HeaderMap::Clear() {
    m_bytes.clear();
    m_fields.clear();
}

void HeaderMap::Set(std::string_view name, std::string_view value) {
    // Offsets are 32 bits; a header block of 4 GiB is not kept field by field.
    if (m_bytes.size() + name.size() + value.size() > std::numeric_limits<std::uint32_t>::max()) {
        return;
    }
    const auto nameOffset = static_cast<std::uint32_t>(m_bytes.size());
    m_bytes.append(name);
    const auto valueOffset = static_cast<std::uint32_t>(m_bytes.size());
    m_bytes.append(value);
    m_fields.push_back({nameOffset, static_cast<std::uint32_t>(name.size()), valueOffset,
                        static_cast<std::uint32_t>(value.size())});
}

std::optional<std::string_view> HeaderMap::Find(std::string_view name) const {
    for (auto field = m_fields.rbegin(); field != m_fields.rend(); ++field) {
        if (Slice(field->nameOffset, field->nameLength) == name) {
            return Slice(field->valueOffset, field->valueLength);
        }
    }
    return std::nullopt;
}

std::map<std::string, std::string> HeaderMap::ToMap() const {
    std::map<std::string, std::string> result;
    for (const Field& field : m_fields) {
        result[std::string(Slice(field.nameOffset, field.nameLength))] =
            Slice(field.valueOffset, field.valueLength);
    }
    return result;
}

}  // namespace vantor
