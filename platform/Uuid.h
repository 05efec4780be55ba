#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vantor {

// A 128-bit identifier in the memory layout of the classic GUID: a 32-bit, two 16-bit
// little-endian fields, then eight bytes. Its text form is the usual 8-4-4-4-12 hexadecimal
// groups, lower case, without braces.
struct Uuid {
    std::array<std::uint8_t, 16> bytes{};

    // A random (version 4) identifier from the kernel's random source; nothing when that
    // source fails.
    static std::optional<Uuid> Create();
    // Reads the 36-character text form, with or without braces, in either case.
    static std::optional<Uuid> FromString(std::string_view text);
    std::string ToString() const;

    friend bool operator==(const Uuid&, const Uuid&) = default;
};

}  // namespace vantor
