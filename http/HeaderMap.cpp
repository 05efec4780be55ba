#include "http/HeaderMap.h"

#include <cstring>
#include <limits>

#include "framework/AsciiText.h"
#include "platform/Endian.h"

namespace vantor {

namespace {

// Writes length as 32 bits, little-endian, and returns the end.
char* PutLength(char* out, std::size_t length) {
    std::uint8_t encoded[4];
    StoreLE32(encoded, static_cast<std::uint32_t>(length));
    std::memcpy(out, encoded, sizeof encoded);
    return out + sizeof encoded;
}

// Writes text lower-cased and returns the end: a plain loop, which the compiler vectorises.
char* PutLowerCased(char* out, std::string_view text) {
    for (const char c : text) {
        *out++ = AsciiToLower(c);
    }
    return out;
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
    const std::size_t at = m_scratch.size();
    m_scratch.resize(at + kFieldPrefix + name.size() + value.size());
    char* out = m_scratch.data() + at;
    out = PutLength(out, name.size());
    out = PutLength(out, value.size());
    PutLowerCased(PutLowerCased(out, name), value);
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
