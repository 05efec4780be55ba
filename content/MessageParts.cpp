#include "content/MessageParts.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "http/HTTPMessage.h"
#include "platform/AsciiText.h"

namespace vantor {

std::vector<HeaderField> HeaderFields(const HTTPMessage& message) {
    return ReadHeaderFields(message.text(), message.headerEnd());
}

std::string BodyBytes(const HTTPMessage& message) {
    const std::int64_t end = message.headerEnd();
    const std::size_t size = message.text().size();
    if (end < 0 || static_cast<std::size_t>(end) >= size) {
        return {};
    }
    return message.BytesAsTheyCame(static_cast<std::size_t>(end), size);
}

bool IsText(std::string_view bytes) {
    return bytes.find('\0') == std::string_view::npos && IsUtf8(bytes);
}

ExportedBody BodyWithinLimit(const HTTPMessage& message) {
    const std::int64_t start = message.headerEnd();
    const std::size_t size = message.text().size();
    if (start < 0 || static_cast<std::size_t>(start) >= size) {
        return {};
    }
    const auto headerEnd = static_cast<std::size_t>(start);
    const std::size_t end = static_cast<std::size_t>(
        std::min<std::uint64_t>(size, std::max<std::uint64_t>(message.maxSize(), headerEnd)));
    return {message.BytesAsTheyCame(headerEnd, end), size - end};
}

std::string LeftOutNotice(const ExportedBody& body) {
    if (body.leftOut == 0) {
        return {};
    }
    return std::to_string(body.leftOut) +
           " bytes of the body past the size limit are left out (see Capture->Options).";
}

std::size_t Utf8SequenceLength(std::string_view bytes, std::size_t at) {
    const auto lead = static_cast<unsigned char>(bytes[at]);
    std::size_t length = 0;
    char32_t value = 0;
    char32_t least = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        value = lead & 0x1F;
        least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        value = lead & 0x0F;
        least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        value = lead & 0x07;
        least = 0x10000;
    } else {
        return 0;
    }
    if (at + length > bytes.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(bytes[at + k]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        value = (value << 6) | (next & 0x3F);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return 0;
    }
    return length;
}

bool IsUtf8(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        // ASCII eight bytes at a time.
        if (i + 8 <= bytes.size()) {
            std::uint64_t word = 0;
            std::memcpy(&word, bytes.data() + i, sizeof word);
            if ((word & 0x8080808080808080ULL) == 0) {
                i += 8;
                continue;
            }
        }
        if (static_cast<unsigned char>(bytes[i]) < 0x80) {
            ++i;
            continue;
        }
        const std::size_t length = Utf8SequenceLength(bytes, i);
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

std::string Base64(std::string_view bytes) {
    static constexpr char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const auto n = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i]) << 16 |
                                                  static_cast<unsigned char>(bytes[i + 1]) << 8 |
                                                  static_cast<unsigned char>(bytes[i + 2]));
        out += kDigits[n >> 18];
        out += kDigits[(n >> 12) & 63];
        out += kDigits[(n >> 6) & 63];
        out += kDigits[n & 63];
    }
    if (const std::size_t left = bytes.size() - i; left != 0) {
        std::uint32_t n = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i]) << 16);
        if (left == 2) {
            n |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1]) << 8);
        }
        out += kDigits[n >> 18];
        out += kDigits[(n >> 12) & 63];
        out += left == 2 ? kDigits[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::time_t EpochSeconds(const SystemTime& time) {
    std::tm local{};
    local.tm_year = time.year - 1900;
    local.tm_mon = time.month - 1;
    local.tm_mday = time.day;
    local.tm_hour = time.hour;
    local.tm_min = time.minute;
    local.tm_sec = time.second;
    local.tm_isdst = -1;
    return std::mktime(&local);
}

std::string IsoLocalTime(const SystemTime& time) {
    long offset = 0;
    if (const std::time_t when = EpochSeconds(time); when != static_cast<std::time_t>(-1)) {
        std::tm back{};
        ::localtime_r(&when, &back);
        offset = back.tm_gmtoff;
    }
    const char sign = offset < 0 ? '-' : '+';
    offset = std::min(offset < 0 ? -offset : offset, 24L * 3600 - 1);
    char text[80];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03u%c%02ld:%02ld",
                  unsigned{time.year}, unsigned{time.month}, unsigned{time.day},
                  unsigned{time.hour}, unsigned{time.minute}, unsigned{time.second},
                  unsigned{time.milliseconds} % 1000, sign, offset / 3600, offset / 60 % 60);
    return text;
}

std::string BodyNotKeptNotice(const HTTPMessage& message) {
    if (message.HasMissing()) {
        // An imported capture that lost packets: the body is what came before the gap.
        return message.MissingNotice();
    }
    switch (message.state()) {
        case AssemblyState::BodyFiltered:
            return "The body was not kept: its content type is not among those kept (" +
                   std::to_string(message.skipped()) + " bytes skipped).";
        case AssemblyState::TooLarge:
            return "The body was not kept in full: the message passed its size limit.";
        case AssemblyState::BodyOff:
            return "The body was not kept: body capture is off (" +
                   std::to_string(message.skipped()) + " bytes skipped).";
        default:
            return {};
    }
}

StartLineParts SplitStartLine(std::string_view text) {
    std::string_view line = text.substr(0, text.find('\n'));
    while (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    StartLineParts parts;
    const std::size_t firstSpace = line.find(' ');
    parts.first = line.substr(0, firstSpace);
    if (firstSpace == std::string_view::npos) {
        return parts;
    }
    line.remove_prefix(firstSpace + 1);
    const std::size_t secondSpace = line.find(' ');
    parts.second = line.substr(0, secondSpace);
    if (secondSpace != std::string_view::npos) {
        parts.rest = line.substr(secondSpace + 1);
    }
    return parts;
}

DecodedBody DecodeMessageBody(const HTTPMessage& message, std::size_t limit) {
    const HeaderLookup headers = message.headers();
    return DecodeBody(BodyBytes(message), headers.Find("transfer-encoding").value_or(""),
                      headers.Find("content-encoding").value_or(""), limit);
}

std::string PeerAddress(const HTTPMessage& message) {
    char text[INET6_ADDRSTRLEN] = "";
    if (const auto& ipv6 = message.peerIpv6()) {
        ::inet_ntop(AF_INET6, ipv6->address.data(), text, sizeof text);
    } else {
        ::inet_ntop(AF_INET, message.peerAddress().address.data(), text, sizeof text);
    }
    return text;
}

std::string PeerHostAndPort(const HTTPMessage& message) {
    const std::string address = PeerAddress(message);
    return (message.peerIpv6() ? "[" + address + "]" : address) + ":" +
           std::to_string(message.peerAddress().HostPort());
}

std::string TimeOfDay(const SystemTime& time) {
    char text[16];
    std::snprintf(text, sizeof text, "%02u:%02u:%02u.%03u", time.hour % 100u, time.minute % 100u,
                  time.second % 100u, time.milliseconds % 1000u);
    return text;
}

}  // namespace vantor
