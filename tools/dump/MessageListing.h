#pragma once

#include <ostream>
#include <string>
#include <string_view>

namespace vantor {

class CSnifferDoc;

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

}  // namespace vantor
