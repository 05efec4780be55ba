#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vantor {

class CSnifferDoc;
class ExchangeQuery;
class HTTPMessage;

// Where each message stands in the document's list.
using MessageIndexes = std::unordered_map<const HTTPMessage*, std::size_t>;

enum class ListingFormat { Text, Tsv, Jsonl, Curl };

// Writes bytes so that a field stays on one line and one column: backslash, tab, CR and LF as
// \\, \t, \r, \n, other bytes outside printable ASCII as \xNN.
std::string EscapeField(std::string_view bytes);

// Lists the document's messages, one line each, in document order.
//
// Tsv columns: index, kind (REQ or RES), connection id, peer a.b.c.d:port, state name,
// caption, method or status code, target or content-class name, skipped bytes, text length,
// index of the paired request (or -).
//
// Jsonl: one JSON object per line: index, kind ("request" or "response"), connection, peer,
// time (ISO 8601 with the offset), state, method and target or status and contentClass,
// caption, size (of the text), headerSize and bodySize (the whole text and 0 while the header
// is incomplete), skipped, pair (the index of the request a response answers, or of the
// response that answers a request, when known; else null), headers (an array of [name, value]
// pairs as they stand in the text). With bodies, body: the bytes after the header, as a string
// when they are UTF-8, else in base64 with "bodyEncoding": "base64". Bytes that are not UTF-8
// in other strings become U+FFFD.
//
// Curl: one curl command per request, that sends it again; responses are not listed.
//
// With a query, only the messages of exchanges it passes are listed (with their indexes in the
// document).
void WriteListing(std::ostream& output, const CSnifferDoc& document, ListingFormat format,
                  bool bodies = false, const ExchangeQuery* query = nullptr);

// Whether the exchange of message passes query, once that can be told: not while the head of
// its answer has not come, nor, for a query on bodies, sizes or durations, before the exchange
// has ended.
std::optional<bool> ListingVerdict(const ExchangeQuery& query, const HTTPMessage& message,
                                   bool ended);

// One message's line; indexOf gives the indexes of paired messages.
void WriteListingRow(std::ostream& output, std::size_t index, const HTTPMessage& message,
                     const MessageIndexes& indexOf, ListingFormat format, bool bodies = false);

}  // namespace vantor
