#include "http/MessageStart.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace vantor {

namespace {

constexpr std::size_t kLongestMethod = 24;

bool IsMethodCharacter(std::uint8_t c) {
    return (c >= 'A' && c <= 'Z') || c == '-' || c == '_';
}

// The length of the method data begin with, as far as it goes; 0 when there is none.
std::size_t MethodLength(std::span<const std::uint8_t> data) {
    std::size_t length = 0;
    while (length < data.size() && length <= kLongestMethod && IsMethodCharacter(data[length])) {
        ++length;
    }
    return length > kLongestMethod ? 0 : length;
}

}  // namespace

bool BeginsRequestLine(std::span<const std::uint8_t> data) {
    const std::size_t length = MethodLength(data);
    return length != 0 && length < data.size() && data[length] == ' ';
}

bool LooksLikeRequestStart(std::span<const std::uint8_t> data) {
    const std::size_t length = MethodLength(data);
    return length != 0 && (length == data.size() || data[length] == ' ');
}

bool LooksLikeResponseStart(std::span<const std::uint8_t> data) {
    constexpr std::string_view kStart = "HTTP/";
    const std::size_t compared = std::min(data.size(), kStart.size());
    return compared > 0 && std::memcmp(data.data(), kStart.data(), compared) == 0;
}

bool BeginsStatusLine(std::span<const std::uint8_t> data) {
    return data.size() >= 5 && LooksLikeResponseStart(data);
}

}  // namespace vantor
