#include "http/BodyFraming.h"

#include <algorithm>

#include "http/HeaderMap.h"
#include "platform/AsciiText.h"

namespace vantor {

namespace {

// A chunk or a body larger than this is no framing we trust (2^60 bytes).
constexpr std::uint64_t kLargest = std::uint64_t{1} << 60;

// A Content-Length value: digits, or the same digits repeated in a list ("5, 5").
bool ParseLength(std::string_view value, std::uint64_t& length) {
    bool any = false;
    while (true) {
        const std::size_t comma = value.find(',');
        const std::string_view item = TrimBlanks(value.substr(0, comma));
        if (item.empty() || item.size() > 18 ||
            !std::all_of(item.begin(), item.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            return false;
        }
        std::uint64_t number = 0;
        for (const char c : item) {
            number = number * 10 + static_cast<std::uint64_t>(c - '0');
        }
        if (any && number != length) {
            return false;
        }
        length = number;
        any = true;
        if (comma == std::string_view::npos) {
            return true;
        }
        value.remove_prefix(comma + 1);
    }
}

}  // namespace

void BodyFraming::Begin(const HeaderLookup& headers) {
    *this = BodyFraming();
    if (const auto transfer = headers.Find("transfer-encoding")) {
        // Values are stored lower-cased; the last coding decides.
        const std::size_t comma = transfer->rfind(',');
        if (TrimBlanks(transfer->substr(comma == std::string_view::npos ? 0 : comma + 1)) ==
            "chunked") {
            m_kind = Kind::Chunked;
        }
        return;  // any other coding: the body runs until the connection closes
    }
    if (const auto length = headers.Find("content-length")) {
        if (ParseLength(*length, m_remaining) && m_remaining < kLargest) {
            m_kind = m_remaining == 0 ? Kind::Ended : Kind::Length;
        }
    }
}

std::optional<std::uint64_t> BodyFraming::DeclaredLength(const HeaderLookup& headers) {
    BodyFraming framing;
    framing.Begin(headers);
    if (framing.m_kind == Kind::Length || framing.m_kind == Kind::Ended) {
        return framing.m_remaining;
    }
    return std::nullopt;
}

std::size_t BodyFraming::Take(std::span<const std::uint8_t> bytes) {
    switch (m_kind) {
        case Kind::Unframed:
            return bytes.size();
        case Kind::Ended:
            return 0;
        case Kind::Length: {
            const std::size_t taken =
                static_cast<std::size_t>(std::min<std::uint64_t>(m_remaining, bytes.size()));
            m_remaining -= taken;
            if (m_remaining == 0) {
                m_kind = Kind::Ended;
            }
            return taken;
        }
        case Kind::Chunked:
            return TakeChunked(bytes);
    }
    return bytes.size();
}

std::size_t BodyFraming::TakeChunked(std::span<const std::uint8_t> bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::uint8_t c = bytes[at];
        switch (m_chunk) {
            case Chunk::Size:
                if (const int digit = HexDigitValue(static_cast<char>(c)); digit >= 0) {
                    if (m_remaining >= kLargest / 16) {
                        m_kind = Kind::Unframed;
                        return bytes.size();
                    }
                    m_remaining = m_remaining * 16 + static_cast<std::uint64_t>(digit);
                    m_digits = true;
                    ++at;
                    continue;
                }
                if (!m_digits) {
                    m_kind = Kind::Unframed;  // not a chunk-size line
                    return bytes.size();
                }
                m_chunk = Chunk::SizeRest;
                continue;
            case Chunk::SizeRest:  // extensions, spaces, CR: up to the LF
                ++at;
                if (c == '\n') {
                    m_chunk = m_remaining == 0 ? Chunk::TrailerStart : Chunk::Data;
                }
                continue;
            case Chunk::Data: {
                const std::size_t taken = static_cast<std::size_t>(
                    std::min<std::uint64_t>(m_remaining, bytes.size() - at));
                at += taken;
                m_remaining -= taken;
                if (m_remaining == 0) {
                    m_chunk = Chunk::DataEnd;
                }
                continue;
            }
            case Chunk::DataEnd:  // CR LF, or a bare LF
                ++at;
                if (c == '\n') {
                    m_chunk = Chunk::Size;
                    m_digits = false;
                } else if (c != '\r') {
                    m_kind = Kind::Unframed;
                    return bytes.size();
                }
                continue;
            case Chunk::TrailerStart:  // an empty line ends the body
                ++at;
                if (c == '\n') {
                    m_kind = Kind::Ended;
                    return at;
                }
                if (c != '\r') {
                    m_chunk = Chunk::Trailer;
                }
                continue;
            case Chunk::Trailer:
                ++at;
                if (c == '\n') {
                    m_chunk = Chunk::TrailerStart;
                }
                continue;
        }
    }
    return at;
}

}  // namespace vantor
