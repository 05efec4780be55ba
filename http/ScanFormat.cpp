#include "http/ScanFormat.h"

#include <limits>

#include "platform/AsciiText.h"

namespace vantor {

namespace {

// A read position over text that behaves like the input of sscanf: a NUL byte ends it.
class ScanCursor {
public:
    explicit ScanCursor(std::string_view text) : m_text(text.substr(0, text.find('\0'))) {}

    bool AtEnd() const { return m_position >= m_text.size(); }
    char Peek() const { return m_text[m_position]; }

    void SkipWhiteSpace() {
        while (!AtEnd() && IsAsciiSpace(Peek())) {
            ++m_position;
        }
    }

    // "%s": white space, then one or more non-white bytes.
    std::optional<std::string_view> Word() {
        SkipWhiteSpace();
        return Run(std::numeric_limits<std::size_t>::max(),
                   [](char c) { return !IsAsciiSpace(c); });
    }

    // "%N[...]": one to maxWidth bytes for which accept holds.
    template <typename Accept>
    std::optional<std::string_view> Run(std::size_t maxWidth, Accept accept) {
        const std::size_t start = m_position;
        while (!AtEnd() && m_position - start < maxWidth && accept(Peek())) {
            ++m_position;
        }
        if (m_position == start) {
            return std::nullopt;
        }
        return m_text.substr(start, m_position - start);
    }

    // "%u": white space, an optional sign and one or more decimal digits. The digits are
    // converted as strtoul does on a 64-bit C library (saturating, then negated for a minus
    // sign) and the result is cut to 32 bits as sscanf stores it into an unsigned int.
    std::optional<std::uint32_t> Unsigned() {
        SkipWhiteSpace();
        bool negative = false;
        if (!AtEnd() && (Peek() == '+' || Peek() == '-')) {
            negative = Peek() == '-';
            ++m_position;
        }
        std::uint64_t value = 0;
        bool overflow = false;
        const std::size_t start = m_position;
        constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
        while (!AtEnd() && IsAsciiDigit(Peek())) {
            const auto digit = static_cast<std::uint64_t>(Peek() - '0');
            if (value > (kMax - digit) / 10) {
                overflow = true;
            } else {
                value = value * 10 + digit;
            }
            ++m_position;
        }
        if (m_position == start) {
            return std::nullopt;
        }
        if (overflow) {
            value = kMax;
        } else if (negative) {
            value = 0 - value;
        }
        return static_cast<std::uint32_t>(value);
    }

private:
    std::string_view m_text;
    std::size_t m_position = 0;
};

constexpr auto kIsSpaceChar = [](char c) { return c == ' '; };
constexpr auto kIsNotSpaceChar = [](char c) { return c != ' '; };

}  // namespace

std::string ScanMethod(std::string_view text) {
    ScanCursor cursor(text);
    return std::string(cursor.Run(31, kIsNotSpaceChar).value_or(std::string_view{}));
}

std::string ScanRequestUri(std::string_view text) {
    ScanCursor cursor(text);
    if (!cursor.Word() || !cursor.Run(100, kIsSpaceChar)) {
        return {};
    }
    return std::string(cursor.Run(255, kIsNotSpaceChar).value_or(std::string_view{}));
}

std::optional<std::uint32_t> ScanStatusCode(std::string_view text) {
    ScanCursor cursor(text);
    constexpr std::size_t kUnbounded = std::numeric_limits<std::size_t>::max();
    if (!cursor.Run(kUnbounded, kIsNotSpaceChar) || !cursor.Run(kUnbounded, kIsSpaceChar)) {
        return std::nullopt;
    }
    return cursor.Unsigned();
}

std::optional<std::string> ScanStatusCaption(std::string_view text) {
    ScanCursor cursor(text);
    if (!cursor.Word() || !cursor.Run(std::numeric_limits<std::size_t>::max(), kIsSpaceChar)) {
        return std::nullopt;
    }
    const auto caption = cursor.Run(255, [](char c) { return c != '\r' && c != '\n'; });
    if (!caption) {
        return std::nullopt;
    }
    return std::string(*caption);
}

}  // namespace vantor
