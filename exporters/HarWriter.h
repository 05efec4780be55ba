#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <span>
#include <string>

namespace vantor {

class CSnifferDoc;
class HTTPRequest;

// Writes the document's exchanges as an HTTP Archive (HAR 1.2): an entry per request, in the
// document's order, with its response (or the HAR form of none). Bodies are decoded from their
// transfer and content codings; binary ones go in base64 with "encoding": "base64"; bodies that
// were not kept are left out and said so in a comment. Times come from the capture times;
// sizes from the texts. The exchanges are those of the document when it starts: progress, told
// every few entries (entries written, of all), may let capture add messages meanwhile, and
// cancels the export by returning false.
using ExportProgress = std::function<bool(std::uint64_t done, std::uint64_t total)>;
enum class HarOutcome { Written, Failed, Cancelled };
HarOutcome WriteHar(std::ostream& output, const CSnifferDoc& document,
                    const ExportProgress& progress = {});
// The same for some of the requests (a selection, those a filter passes), in the order given.
HarOutcome WriteHar(std::ostream& output, std::span<const HTTPRequest* const> requests,
                    const ExportProgress& progress = {});

// Writes the archive to a file of the user's, whole or not at all (an export that fails or is
// cancelled leaves the file that was there): a new file mode 0600 (it holds other people's
// cookies and passwords), an existing one keeping its mode, no link that another user planted
// followed. Nothing when written or cancelled; else what went wrong, for the user.
std::optional<std::string> ExportHarFile(const std::filesystem::path& path,
                                         const CSnifferDoc& document,
                                         const ExportProgress& progress = {});
std::optional<std::string> ExportHarFile(const std::filesystem::path& path,
                                         std::span<const HTTPRequest* const> requests,
                                         const ExportProgress& progress = {});

}  // namespace vantor
