#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vantor {

class CSnifferDoc;
class HTTPMessage;

// Where each message stands in the document's list.
using MessageIndexes = std::unordered_map<const HTTPMessage*, std::size_t>;

enum class ListingFormat { Text, Tsv };

// Writes bytes so that a field stays on one line and one column: backslash, tab, CR and LF as
// \\, \t, \r, \n, other bytes outside printable ASCII as \xNN.
std::string EscapeField(std::string_view bytes);

// Lists the document's messages, one line each, in document order.
//
// Tsv columns: index, kind (REQ or RES), connection id, peer a.b.c.d:port, state name,
// caption, method or status code, target or content-class name, skipped bytes, text length,
// index of the paired request (or -).
void WriteListing(std::ostream& output, const CSnifferDoc& document, ListingFormat format);

// One message's line; indexOf gives the index of a response's paired request.
void WriteListingRow(std::ostream& output, std::size_t index, const HTTPMessage& message,
                     const MessageIndexes& indexOf, ListingFormat format);

}  // namespace vantor
