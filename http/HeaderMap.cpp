#include "http/HeaderMap.h"

#include <limits>

#include "framework/AsciiText.h"
#include "platform/Endian.h"

namespace vantor {

namespace {

void AppendLength(std::string& bytes, std::size_t length) {
    std::uint8_t encoded[4];
    StoreLE32(encoded, static_cast<std::uint32_t>(length));
    bytes.append(reinterpret_cast<const char*>(encoded), sizeof encoded);
}

void AppendLowerCased(std::string& bytes, std::string_view text) {
    const std::size_t start = bytes.size();
    bytes.append(text);
    for (std::size_t i = start; i < bytes.size(); ++i) {
        bytes[i] = AsciiToLower(bytes[i]);
    }
}

// Parsing happens on the window thread, one message at a time; the scratch buffer keeps its
// capacity from one message to the next.
std::string& Scratch() {
    thread_local std::string scratch;
    return scratch;
}

}  // namespace

HeaderMap::Builder::Builder() : m_scratch(Scratch()) {
    m_scratch.clear();
}

void HeaderMap::Builder::Add(std::string_view name, std::string_view value) {
    constexpr std::size_t kLimit = std::numeric_limits<std::uint32_t>::max();
    if (name.size() > kLimit || value.size() > kLimit) {
        return;
    }
    AppendLength(m_scratch, name.size());
    AppendLength(m_scratch, value.size());
    AppendLowerCased(m_scratch, name);
    AppendLowerCased(m_scratch, value);
}

void HeaderMap::Builder::CommitTo(HeaderMap& map) {
    if (map.m_bytes.empty()) {
        map.m_bytes.assign(m_scratch);  // one allocation of the exact size
    } else {
        map.m_bytes.append(m_scratch);
    }
    m_scratch.clear();
}

std::optional<std::string_view> HeaderMap::Find(std::string_view name) const {
    std::optional<std::string_view> found;
    ForEach([&](std::string_view fieldName, std::string_view value) {
        if (fieldName == name) {
            found = value;
        }
    });
    return found;
}

}  // namespace vantor
