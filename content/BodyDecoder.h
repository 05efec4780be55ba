#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <string_view>

namespace vantor {

// A message body made readable: transfer and content codings removed, as far as they go.
struct DecodedBody {
    std::string bytes;     // the decoded body; the body as it came when nothing could be decoded
    std::string notice;    // one line saying what went wrong, or empty
    bool decoded = false;  // some coding was removed
};

// Removes the chunked transfer coding (when transferEncoding names it) and then the content
// codings contentEncoding lists, last applied first: gzip (x-gzip), deflate (with or without
// its zlib wrapper), br and zstd; identity is nothing. A body cut short decodes as far as it
// goes, with a notice. A coding that is unknown or a stream that is corrupt leaves the body as
// it was at that step, with a notice. Never more than limit bytes come out (a notice says the
// rest was cut), however small the body: a tiny stream that inflates without end stops there.
DecodedBody DecodeBody(std::string_view body, std::string_view transferEncoding,
                       std::string_view contentEncoding, std::size_t limit);

// JSON laid out with an indent of two, when text is one JSON value nested at most 512 deep;
// empty otherwise. Once the layout has reached most bytes it stops there, neither laying out nor
// checking the rest (for a view that shows no more).
std::string PrettyJson(std::string_view text,
                       std::size_t most = std::numeric_limits<std::size_t>::max());

// Whether a body is worth laying out as JSON: its content type says so, or it begins (after
// white space) with an object or an array.
bool LooksLikeJson(std::string_view contentType, std::string_view body);

// Bytes as a hex dump: offset, sixteen bytes in hex, the same as printable ASCII (others '.').
std::string HexDump(std::string_view bytes);

}  // namespace vantor
