#pragma once

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>

namespace vantor {

class CSnifferDoc;

// Writes the document's exchanges as an HTTP Archive (HAR 1.2): an entry per request, in the
// document's order, with its response (or the HAR form of none). Bodies are decoded from their
// transfer and content codings; binary ones go in base64 with "encoding": "base64"; bodies that
// were not kept are left out and said so in a comment. Times come from the capture times;
// sizes from the texts. False when the stream failed.
bool WriteHar(std::ostream& output, const CSnifferDoc& document);

// Writes the archive to a file of the user's: a new file mode 0600 (it holds other people's
// cookies and passwords), an existing one keeping its mode, no link that another user planted
// followed. Nothing when written; else what went wrong, for the user.
std::optional<std::string> ExportHarFile(const std::filesystem::path& path,
                                         const CSnifferDoc& document);

}  // namespace vantor
