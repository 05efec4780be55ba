#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "content/BodyDecoder.h"
#include "http/HeadScan.h"
#include "platform/SystemTime.h"

namespace vantor {

class HTTPMessage;

// The header fields of a message, in order, from its text up to the end of its header (as far
// as it came, for a header that never completed). The start line is not among them.
std::vector<HeaderField> HeaderFields(const HTTPMessage& message);

// What follows the header in the message's text, as it was captured (NUL bytes included);
// empty while the header is incomplete.
std::string BodyBytes(const HTTPMessage& message);

// The body as exports give it: as it was captured, up to the message's size limit (a message
// keeps the whole record that crossed its limit, which the user did not ask for), and how many
// bytes past the limit were left out.
struct ExportedBody {
    std::string bytes;
    std::size_t leftOut = 0;
};
ExportedBody BodyWithinLimit(const HTTPMessage& message);
// What an export says of them; empty when none were left out.
std::string LeftOutNotice(const ExportedBody& body);

// The three parts of a message's start line (its text up to the first line break): method,
// target and version of a request; version, code and reason of a response. Views into text.
struct StartLineParts {
    std::string_view first;
    std::string_view second;
    std::string_view rest;
};
StartLineParts SplitStartLine(std::string_view text);

// The message's body with its transfer and content codings removed (DecodeBody), up to limit
// bytes.
DecodedBody DecodeMessageBody(const HTTPMessage& message, std::size_t limit);

// The peer's address alone, as text: 127.0.0.1, ::1.
std::string PeerAddress(const HTTPMessage& message);
// The peer as a URL names a host: 127.0.0.1:8080, [::1]:8080.
std::string PeerHostAndPort(const HTTPMessage& message);

// A capture time's time of day: 09:14:03.117.
std::string TimeOfDay(const SystemTime& time);

// Why the body is not all there, for exports and the exchange pane: not kept for its content
// type or because body capture is off, cut at the size limit, or bytes missing from a capture;
// empty when it is whole.
std::string BodyNotKeptNotice(const HTTPMessage& message);

// The length of the well-formed UTF-8 sequence of more than one byte at bytes[at]; 0 when
// there is none there.
std::size_t Utf8SequenceLength(std::string_view bytes, std::size_t at);

// Whether bytes are well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool IsUtf8(std::string_view bytes);

// Whether bytes are best written as text in JSON: well-formed UTF-8 without NUL bytes (which
// JSON would have to escape in six bytes each).
bool IsText(std::string_view bytes);

// RFC 4648 base64, with padding.
std::string Base64(std::string_view bytes);

// A capture time (local time, as the provider took it) as seconds since the epoch; -1 when it
// is no time.
std::time_t EpochSeconds(const SystemTime& time);

// A capture time (local time, as the provider took it) in ISO 8601 with this machine's offset
// from UTC at that time, to the millisecond: 2026-12-08T09:14:03.117+01:00.
std::string IsoLocalTime(const SystemTime& time);

}  // namespace vantor
