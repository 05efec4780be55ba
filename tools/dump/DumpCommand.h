#pragma once

#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "document/ExchangeQuery.h"
#include "system/SystemCapture.h"
#include "tools/dump/MessageListing.h"

namespace vantor {

struct DumpArguments {
    std::string openFile;     // a document file to start from
    std::string replayFile;   // a capture-record stream to feed through dispatch
    std::string pcapFile;     // a pcap or pcapng file to import through dispatch
    std::vector<std::string> keyLogs;  // key logs to decrypt TLS with
    std::string saveFile;     // where to save the document at the end
    std::string harFile;      // where to export the document as HAR at the end
    bool capture = false;     // capture live (the default when nothing is opened or replayed)
    bool systemWide = false;  // capture live by the system-wide source
    SystemCaptureOptions system;
    std::string rawFile;  // where a live capture also writes every record it receives
    std::optional<double> durationSeconds;
    std::optional<std::size_t> messageCount;
    ListingFormat format = ListingFormat::Text;
    // --filter: only the exchanges this query passes are listed and exported.
    std::optional<ExchangeQuery> filter;
    const ExchangeQuery* query() const { return filter ? &*filter : nullptr; }
    bool bodies = false;  // jsonl: each message's body too
    // Preferences overridden for this run, by registry value name.
    std::vector<std::pair<std::string, std::string>> overrides;
    bool showSettings = false;
    bool help = false;
};

// Parses the command line of vantor-dump (without the program name). Nothing, with error set,
// when it is not understood.
std::optional<DumpArguments> ParseDumpArguments(std::span<const std::string> arguments,
                                                std::string& error);

// vantor-dump: the capture path and the document without a window. Settings come from the
// current user's settings store, read only. Returns the exit status: 0 done, 1 an input could
// not be read in full or the document could not be saved (what was read is still listed),
// 2 usage.
int RunVantorDump(std::span<const std::string> arguments, std::ostream& output,
                  std::ostream& errors);

}  // namespace vantor
