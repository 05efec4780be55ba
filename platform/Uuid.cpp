#include "platform/Uuid.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>

#include "platform/AsciiText.h"

namespace vantor {

namespace {

// Text positions of the bytes in memory order: the first three groups are little-endian.
constexpr std::array<int, 16> kTextOrder = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};

}  // namespace

std::optional<Uuid> Uuid::Create() {
    Uuid uuid;
    std::size_t done = 0;
    while (done < uuid.bytes.size()) {
        const ssize_t got = ::getrandom(uuid.bytes.data() + done, uuid.bytes.size() - done, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        done += static_cast<std::size_t>(got);
    }
    // Version 4 (in the high bits of the third field) and the RFC 4122 variant.
    uuid.bytes[7] = static_cast<std::uint8_t>((uuid.bytes[7] & 0x0F) | 0x40);
    uuid.bytes[8] = static_cast<std::uint8_t>((uuid.bytes[8] & 0x3F) | 0x80);
    return uuid;
}

std::optional<Uuid> Uuid::FromString(std::string_view text) {
    if (text.size() == 38 && text.front() == '{' && text.back() == '}') {
        text = text.substr(1, 36);
    }
    if (text.size() != 36) {
        return std::nullopt;
    }
    std::array<std::uint8_t, 16> inTextOrder{};
    std::size_t digit = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') {
                return std::nullopt;
            }
            continue;
        }
        const int value = HexDigitValue(text[i]);
        if (value < 0) {
            return std::nullopt;
        }
        inTextOrder[digit / 2] = static_cast<std::uint8_t>((inTextOrder[digit / 2] << 4) | value);
        ++digit;
    }
    Uuid uuid;
    for (std::size_t i = 0; i < 16; ++i) {
        uuid.bytes[static_cast<std::size_t>(kTextOrder[i])] = inTextOrder[i];
    }
    return uuid;
}

std::string Uuid::ToString() const {
    std::string text;
    static constexpr char kHex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text += '-';
        }
        const std::uint8_t byte = bytes[static_cast<std::size_t>(kTextOrder[i])];
        text += kHex[byte >> 4];
        text += kHex[byte & 0xF];
    }
    return text;
}

}  // namespace vantor
