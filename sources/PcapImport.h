#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "sources/TcpReassembly.h"

namespace vantor {

class CaptureDispatch;
class CSnifferDoc;

// Told now and then how far an import has come (bytes of the file read, of total; total 0 when
// the size is not known). Returning false cancels the import.
using ImportProgress = std::function<bool(std::uint64_t done, std::uint64_t total)>;

struct CaptureImportResult {
    std::uint64_t packets = 0;
    std::uint64_t fragments = 0;  // IP fragments, not reassembled
    std::uint64_t malformed = 0;  // frames shorter than their headers say
    ReassemblyCounts reassembly;
    std::string error;  // why the file could not be read to its end; empty when it was
    bool cancelled = false;

    bool ok() const { return error.empty() && !cancelled; }
};

// Reads a pcap or pcapng file (with libpcap), puts its TCP flows back together and feeds the
// bytes of every HTTP flow through dispatch as capture records, the client's as sent and the
// server's as received, with the packets' times, so that the document pairs them as it does a
// live capture. Bytes missing from the capture are noted on the message they cut. A file that
// ends early or goes wrong half way gives an error and everything read up to there. path "-"
// reads standard input.
CaptureImportResult ImportCaptureFile(const std::string& path, CaptureDispatch& dispatch,
                                      CSnifferDoc& document, const ImportProgress& progress = {});

// A line for the user on what an import found: packets, HTTP connections, bytes missing.
std::string DescribeImport(const CaptureImportResult& result);

}  // namespace vantor
