#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vantor {

// The start-line parses of requests and responses are defined as scanf formats. These
// functions give exactly what the C library's sscanf gives for each format on the same bytes
// (the text ends at its end or at a NUL byte), without its cost or its undefined overflow.

// "%31[^ ]": up to 31 bytes up to the first space; empty when the text begins with a space.
std::string ScanMethod(std::string_view text);

// Third field of "%*s%*100[ ]%255[^ ]": after the first word and one to 100 spaces, up to 255
// bytes up to the next space. Empty when the scan does not reach that field.
std::string ScanRequestUri(std::string_view text);

// "%*[^ ]%*[ ]%u": the unsigned number after the first run of non-spaces and the spaces after
// it, converted as the C library does (leading white space and a sign allowed, the value
// reduced to 32 bits). Nothing when the scan fails.
std::optional<std::uint32_t> ScanStatusCode(std::string_view text);

// Third field of "%*s%*[ ]%255[^\r\n]": the status line after its first word and the spaces
// after it, up to 255 bytes up to CR or LF. Nothing when the scan does not reach that field.
std::optional<std::string> ScanStatusCaption(std::string_view text);

}  // namespace vantor
