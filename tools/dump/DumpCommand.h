#pragma once

#include <optional>
#include <ostream>
#include <span>
#include <string>

#include "tools/dump/MessageListing.h"

namespace vantor {

struct DumpArguments {
    std::string replayFile;
    ListingFormat format = ListingFormat::Text;
    bool help = false;
};

// Parses the command line of vantor-dump (without the program name). Nothing, with error set,
// when it is not understood.
std::optional<DumpArguments> ParseDumpArguments(std::span<const std::string> arguments,
                                                std::string& error);

// vantor-dump: the capture path and the document without a window. Returns the exit status:
// 0 done, 1 the input could not be read in full (what was read is still listed), 2 usage.
int RunVantorDump(std::span<const std::string> arguments, std::ostream& output,
                  std::ostream& errors);

}  // namespace vantor
