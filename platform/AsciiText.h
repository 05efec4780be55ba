#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

namespace vantor {

// Character classes and case mapping of the "C" locale, independent of the process locale:
// message text is 8-bit bytes, and bytes above 0x7F are never letters, digits or spaces.

constexpr bool IsAsciiSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr bool IsAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}

constexpr bool IsAsciiAlnum(char c) {
    return IsAsciiDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The value of a hexadecimal digit, or -1.
constexpr int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

constexpr char AsciiToLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr char AsciiToUpper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

inline void AsciiLowerInPlace(std::string& text) {
    for (char& c : text) {
        c = AsciiToLower(c);
    }
}

inline void AsciiUpperInPlace(std::string& text) {
    for (char& c : text) {
        c = AsciiToUpper(c);
    }
}

inline std::string AsciiLower(std::string_view text) {
    std::string result(text);
    AsciiLowerInPlace(result);
    return result;
}

// Whether haystack holds lowerNeedle (given lower-cased), ignoring ASCII case.
inline bool ContainsFolded(std::string_view haystack, std::string_view lowerNeedle) {
    if (lowerNeedle.empty()) {
        return true;
    }
    const auto found =
        std::search(haystack.begin(), haystack.end(), lowerNeedle.begin(), lowerNeedle.end(),
                    [](char a, char b) { return AsciiToLower(a) == b; });
    return found != haystack.end();
}

inline bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (AsciiToLower(a[i]) != AsciiToLower(b[i])) {
            return false;
        }
    }
    return true;
}

// Removes leading and trailing white space, as a trim of the classic string class does.
inline std::string_view TrimAsciiSpace(std::string_view text) {
    while (!text.empty() && IsAsciiSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsAsciiSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// Removes the spaces and tabs around text (HTTP's optional white space).
inline std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// Removes the spaces, tabs and CRs around text (a line of a header as it stands).
inline std::string_view TrimBlanksAndCr(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace vantor
