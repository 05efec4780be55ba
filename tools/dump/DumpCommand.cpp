#include "tools/dump/DumpCommand.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include "app/options/Options.h"
#include "capture/RecordReplay.h"
#include "document/CSnifferDoc.h"
#include "tools/dump/ListingView.h"

namespace vantor {

namespace {

constexpr std::string_view kUsage =
    "usage: vantor-dump --replay FILE [--format text|tsv]\n"
    "\n"
    "Replays a capture-record stream (records back to back, each a 52-byte header\n"
    "followed by its data) through Vantor's capture path and lists the HTTP messages\n"
    "it grew into, one line each, in the order they were created.\n"
    "\n"
    "  --replay FILE    the capture-record stream to replay\n"
    "  --format FORMAT  text (the default) or tsv, tab-separated columns for scripts:\n"
    "                   index, kind, connection id, peer, state, caption, method or\n"
    "                   status code, target or content class, skipped bytes, text\n"
    "                   length, index of the paired request\n"
    "  -h, --help       show this help\n";

// A replay has no provider waiting for the buffer.
class NoSignals : public CaptureSignals {
public:
    void ResetFull() override {}
    void SetEmpty() override {}
};

}  // namespace

std::optional<DumpArguments> ParseDumpArguments(std::span<const std::string> arguments,
                                                std::string& error) {
    DumpArguments parsed;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        auto value = [&]() -> const std::string* {
            if (i + 1 >= arguments.size()) {
                error = argument + " needs a value";
                return nullptr;
            }
            return &arguments[++i];
        };
        if (argument == "-h" || argument == "--help") {
            parsed.help = true;
        } else if (argument == "--replay") {
            const std::string* file = value();
            if (file == nullptr) {
                return std::nullopt;
            }
            parsed.replayFile = *file;
        } else if (argument == "--format") {
            const std::string* format = value();
            if (format == nullptr) {
                return std::nullopt;
            }
            if (*format == "text") {
                parsed.format = ListingFormat::Text;
            } else if (*format == "tsv") {
                parsed.format = ListingFormat::Tsv;
            } else {
                error = "unknown format '" + *format + "' (text or tsv)";
                return std::nullopt;
            }
        } else {
            error = "unknown argument '" + argument + "'";
            return std::nullopt;
        }
    }
    if (!parsed.help && parsed.replayFile.empty()) {
        error = "nothing to do: give --replay FILE";
        return std::nullopt;
    }
    return parsed;
}

int RunVantorDump(std::span<const std::string> arguments, std::ostream& output,
                  std::ostream& errors) {
    std::string error;
    const auto parsed = ParseDumpArguments(arguments, error);
    if (!parsed) {
        errors << "vantor-dump: " << error << "\n\n" << kUsage;
        return 2;
    }
    if (parsed->help) {
        output << kUsage;
        return 0;
    }

    // As at start-up: the lists derived from the option texts are built before any capture.
    Preferences().ParseContentTypes();
    Filter().SplitHostWords();

    CSnifferDoc document;
    ListingView view;
    document.AddView(&view);
    document.OnNewDocument();

    std::ifstream input(parsed->replayFile, std::ios::binary);
    if (!input) {
        errors << "vantor-dump: cannot open " << parsed->replayFile << ": " << std::strerror(errno)
               << '\n';
        return 1;
    }
    NoSignals signals;
    CaptureDispatch dispatch([&document] { return &document; }, signals);
    const ReplayResult result = ReplayRecordStream(input, dispatch);

    WriteListing(output, document, parsed->format);
    output.flush();
    if (!result.ok()) {
        errors << "vantor-dump: " << parsed->replayFile << ": " << result.error << '\n';
        return 1;
    }
    return 0;
}

}  // namespace vantor
