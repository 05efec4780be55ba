#include "tools/dump/DumpCommand.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include "app/AppStrings.h"
#include "app/SettingsPersistence.h"
#include "app/options/Options.h"
#include "capture/RecordReplay.h"
#include "document/CSnifferDoc.h"
#include "framework/Profile.h"
#include "platform/SettingsStore.h"
#include "tools/dump/ListingView.h"

namespace vantor {

namespace {

constexpr std::string_view kUsage =
    "usage: vantor-dump [--open FILE.vtr] [--replay FILE] [--save FILE.vtr]\n"
    "                   [--set NAME=VALUE]... [--format text|tsv] [--settings]\n"
    "\n"
    "Vantor's capture path and document without a window. Lists the document's HTTP\n"
    "messages, one line each, in the order they were created.\n"
    "\n"
    "  --open FILE.vtr   start from a document file\n"
    "  --replay FILE     feed a capture-record stream (records back to back, each a\n"
    "                    52-byte header followed by its data) through the capture path\n"
    "  --save FILE.vtr   save the document at the end\n"
    "  --set NAME=VALUE  override a setting for this run, by its registry value name\n"
    "                    (max_req_size, scan_res_body, allowed_content, ...)\n"
    "  --format FORMAT   text (the default) or tsv, tab-separated columns for scripts:\n"
    "                    index, kind, connection id, peer, state, caption, method or\n"
    "                    status code, target or content class, skipped bytes, text\n"
    "                    length, index of the paired request\n"
    "  --settings        print the settings in effect (after --set) and do nothing else\n"
    "  -h, --help        show this help\n"
    "\n"
    "Settings are read from the current user's settings store and never written.\n";

// A replay has no provider waiting for the buffer.
class NoSignals : public CaptureSignals {
public:
    void ResetFull() override {}
    void SetEmpty() override {}
};

// The options as a fresh start of the program has them: defaults, then the user's settings.
void LoadUserSettings() {
    GlobalOptions() = Options{};
    SettingsStore store(SettingsStore::CurrentUserFile());
    const Profile profile(store, std::string(kApplicationKey));
    LoadSettings(profile, GlobalOptions());
}

// Applies --set overrides; false, with error set, for an unknown name or a value that does not
// fit the setting.
bool ApplyOverrides(const DumpArguments& arguments, std::string& error) {
    for (const auto& [name, value] : arguments.overrides) {
        const SettingField* setting = FindSettingField(name);
        if (setting == nullptr) {
            error = "unknown setting '" + name + "'";
            return false;
        }
        if (!SetSettingFromText(*setting, GlobalOptions(), value)) {
            error = "'" + value + "' is not a value for " + name;
            return false;
        }
    }
    Preferences().ParseContentTypes();
    Filter().SplitHostWords();
    return true;
}

void WriteSettings(std::ostream& output) {
    for (const SettingField& setting : SettingFields()) {
        output << setting.section << '/' << setting.name << '='
               << SettingValueText(setting, GlobalOptions()) << '\n';
    }
}

}  // namespace

std::optional<DumpArguments> ParseDumpArguments(std::span<const std::string> arguments,
                                                std::string& error) {
    DumpArguments parsed;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const std::string* value = nullptr;
        auto takeValue = [&] {
            if (i + 1 >= arguments.size()) {
                error = argument + " needs a value";
                return false;
            }
            value = &arguments[++i];
            return true;
        };
        if (argument == "-h" || argument == "--help") {
            parsed.help = true;
        } else if (argument == "--settings") {
            parsed.showSettings = true;
        } else if (argument == "--open" || argument == "--replay" || argument == "--save") {
            if (!takeValue()) {
                return std::nullopt;
            }
            (argument == "--open"     ? parsed.openFile
             : argument == "--replay" ? parsed.replayFile
                                      : parsed.saveFile) = *value;
        } else if (argument == "--set") {
            if (!takeValue()) {
                return std::nullopt;
            }
            const std::size_t equals = value->find('=');
            if (equals == std::string::npos || equals == 0) {
                error = "--set needs NAME=VALUE, not '" + *value + "'";
                return std::nullopt;
            }
            parsed.overrides.emplace_back(value->substr(0, equals), value->substr(equals + 1));
        } else if (argument == "--format") {
            if (!takeValue()) {
                return std::nullopt;
            }
            if (*value == "text") {
                parsed.format = ListingFormat::Text;
            } else if (*value == "tsv") {
                parsed.format = ListingFormat::Tsv;
            } else {
                error = "unknown format '" + *value + "' (text or tsv)";
                return std::nullopt;
            }
        } else {
            error = "unknown argument '" + argument + "'";
            return std::nullopt;
        }
    }
    if (!parsed.help && !parsed.showSettings && parsed.replayFile.empty() &&
        parsed.openFile.empty()) {
        error = "nothing to do: give --replay FILE or --open FILE.vtr";
        return std::nullopt;
    }
    return parsed;
}

int RunVantorDump(std::span<const std::string> arguments, std::ostream& output,
                  std::ostream& errors) {
    std::string error;
    const auto parsed = ParseDumpArguments(arguments, error);
    if (parsed && !parsed->help) {
        LoadUserSettings();
        if (!ApplyOverrides(*parsed, error)) {
            errors << "vantor-dump: " << error << '\n';
            return 2;
        }
    }
    if (!parsed) {
        errors << "vantor-dump: " << error << "\n\n" << kUsage;
        return 2;
    }
    if (parsed->help) {
        output << kUsage;
        return 0;
    }
    if (parsed->showSettings) {
        WriteSettings(output);
        return 0;
    }

    CSnifferDoc document;
    ListingView view;
    document.AddView(&view);
    document.OnNewDocument();
    int status = 0;

    if (!parsed->openFile.empty()) {
        if (const auto failure = document.OnOpenDocument(parsed->openFile)) {
            errors << "vantor-dump: " << *failure << '\n';
            return 1;
        }
    }
    if (!parsed->replayFile.empty()) {
        std::ifstream input(parsed->replayFile, std::ios::binary);
        if (!input) {
            errors << "vantor-dump: cannot open " << parsed->replayFile << ": "
                   << std::strerror(errno) << '\n';
            return 1;
        }
        NoSignals signals;
        CaptureDispatch dispatch([&document] { return &document; }, signals);
        const ReplayResult result = ReplayRecordStream(input, dispatch);
        if (!result.ok()) {
            errors << "vantor-dump: " << parsed->replayFile << ": " << result.error << '\n';
            status = 1;
        }
    }

    WriteListing(output, document, parsed->format);
    output.flush();
    if (!parsed->saveFile.empty()) {
        if (const auto failure = document.OnSaveDocument(parsed->saveFile)) {
            errors << "vantor-dump: " << *failure << '\n';
            status = 1;
        }
    }
    return status;
}

}  // namespace vantor
