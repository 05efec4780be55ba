#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/AsciiText.h"

namespace vantor {

// Stateless scans of an HTTP/1.x message head (start line and header fields) as its bytes
// stand: what the message keeps when its header completes, and what the protocol stage needs
// to route bytes (where a header ends, what a field says) without asking the document.

// Where a header's terminator lies: "\r\n\r\n" or "\n\n".
struct HeadTerminator {
    std::size_t position;
    std::size_t length;
    std::size_t End() const { return position + length; }
};

// The first "\r\n\r\n" or "\n\n" of text, whichever begins earlier, looking only at LF bytes
// from `from` on.
std::optional<HeadTerminator> FindHeadTerminator(std::string_view text, std::size_t from = 0);

// How many bytes of data, after a head whose bytes so far end with tail (at least its last
// three bytes, when it has them) and hold no terminator, complete it; nothing when they do not.
std::optional<std::size_t> HeadEndAfter(std::string_view tail, std::string_view data);

// Calls field(name, value) for each header field of text, whose header ends at headerEnd (the
// terminator's end), in order: names as they stand, values without the white space around
// them. The walk begins at the first CR LF of the text (or its first LF when it has no CR LF),
// and a line without a colon is a field with an empty value.
template <typename Field>
void ForEachHeadField(std::string_view text, std::size_t headerEnd, Field field);

// One pass over a head's bytes: where its terminator ends (as FindHeadTerminator), and
// whether a line before it may begin with name (given lower-case; ASCII case not minded). A
// field is found by the walk only where that holds: a quick look that rules out most heads.
struct HeadLook {
    std::optional<std::size_t> end;
    bool mayHaveField = false;
};
HeadLook LookAtHead(std::string_view text, std::string_view name);

// The value of the last field named name (ASCII case not minded) in a complete head.
std::optional<std::string_view> FindHeadField(std::string_view text, std::size_t headerEnd,
                                              std::string_view name);

// A header field as exports and listings give it: the name with its case, the value without
// the blanks around it (continuation lines joined to it by one space).
struct HeaderField {
    std::string name;
    std::string value;
};

// The header fields of a head, in order, as the field syntax reads them (folded lines joined,
// lines without a colon left out), up to headerEnd (the terminator's end), or as far as the
// text goes while the header is incomplete (headerEnd -1). The start line is not among them.
// The document's lookups (HeaderMap) read the same head by the walk above.
std::vector<HeaderField> ReadHeaderFields(std::string_view text, std::int64_t headerEnd);

// Whether the comma-separated list holds token (ASCII case not minded).
bool ListHasToken(std::string_view list, std::string_view token);

namespace head_scan {

constexpr bool IsLineBreak(char c) {
    return c == '\r' || c == '\n';
}

// The first byte at or after from for which match holds, or npos. (find_first_of on a set of
// characters calls memchr once per byte of the text.)
template <typename Match>
std::size_t FindFirst(std::string_view text, std::size_t from, Match match) {
    for (std::size_t i = from; i < text.size(); ++i) {
        if (match(text[i])) {
            return i;
        }
    }
    return std::string_view::npos;
}

}  // namespace head_scan

template <typename Field>
void ForEachHeadField(std::string_view text, std::size_t headerEnd, Field field) {
    using head_scan::FindFirst;
    using head_scan::IsLineBreak;
    // Every step starts on a line break.
    std::size_t pos = text.find("\r\n");
    if (pos == std::string_view::npos) {
        pos = text.find('\n');
    }
    const std::size_t size = text.size();
    while (pos < size) {
        if (text.substr(pos, 4) == "\r\n\r\n" || text.substr(pos, 2) == "\n\n") {
            break;
        }
        std::size_t lineStart = pos;
        while (lineStart < size && IsLineBreak(text[lineStart])) {
            ++lineStart;
        }
        // A last header line ended by CR CR LF (or any other run of line breaks that holds the
        // terminator) also ends the header; without this the walk would go on into the body.
        if (pos < headerEnd && headerEnd <= lineStart) {
            break;
        }
        const std::size_t stop =
            FindFirst(text, lineStart, [](char c) { return c == ':' || IsLineBreak(c); });
        if (stop == std::string_view::npos) {
            break;
        }
        std::size_t valueStart = text[stop] == ':' ? stop + 1 : stop;
        while (valueStart < size && IsAsciiSpace(text[valueStart]) &&
               !IsLineBreak(text[valueStart])) {
            ++valueStart;
        }
        const std::size_t lineFeed = text.find('\n', valueStart);
        if (lineFeed == std::string_view::npos) {
            break;
        }
        std::size_t valueEnd = lineFeed;
        while (valueEnd > valueStart && IsAsciiSpace(text[valueEnd - 1])) {
            --valueEnd;
        }
        field(text.substr(lineStart, stop - lineStart),
              text.substr(valueStart, valueEnd - valueStart));
        pos = FindFirst(text, valueEnd, IsLineBreak);
    }
}

}  // namespace vantor
