#include "app/TerminalCommand.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace vantor {

namespace {

// How each terminal emulator takes the command it runs: the options before the command.
struct Terminal {
    const char* name;
    std::vector<std::string> options;
};

const std::vector<Terminal>& KnownTerminals() {
    static const std::vector<Terminal> terminals = {{"x-terminal-emulator", {"-e"}},
                                                    {"gnome-terminal", {"--"}},
                                                    {"konsole", {"-e"}},
                                                    {"xfce4-terminal", {"-x"}},
                                                    {"mate-terminal", {"-x"}},
                                                    {"lxterminal", {"-e"}},
                                                    {"kitty", {}},
                                                    {"alacritty", {"-e"}},
                                                    {"foot", {}},
                                                    {"xterm", {"-e"}}};
    return terminals;
}

std::vector<std::string> OptionsOf(const std::string& path) {
    const std::string name = std::filesystem::path(path).filename().string();
    for (const Terminal& terminal : KnownTerminals()) {
        if (name == terminal.name) {
            return terminal.options;
        }
    }
    return {"-e"};  // what most take
}

}  // namespace

std::optional<std::vector<std::string>> TerminalCommand(
    const std::string& vantorRun,
    const std::function<std::optional<std::string>(const std::string&)>& environment,
    const std::function<std::optional<std::string>(const std::string&)>& findProgram) {
    std::optional<std::string> terminal;
    if (const auto named = environment("TERMINAL"); named && !named->empty()) {
        terminal = findProgram(*named);
    }
    for (std::size_t i = 0; !terminal && i < KnownTerminals().size(); ++i) {
        terminal = findProgram(KnownTerminals()[i].name);
    }
    if (!terminal) {
        return std::nullopt;
    }
    std::string shell = environment("SHELL").value_or("");
    if (shell.empty()) {
        shell = "/bin/sh";
    }
    std::vector<std::string> command{*terminal};
    for (const std::string& option : OptionsOf(*terminal)) {
        command.push_back(option);
    }
    command.push_back(vantorRun);
    command.push_back(shell);
    return command;
}

std::optional<std::string> FindProgramOnPath(const std::string& name) {
    const auto runnable = [](const std::filesystem::path& path) {
        struct stat status {};
        return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
               ::access(path.c_str(), X_OK) == 0;
    };
    if (name.empty()) {
        return std::nullopt;
    }
    if (name.find('/') != std::string::npos) {
        return runnable(name) ? std::optional(name) : std::nullopt;
    }
    const char* path = std::getenv("PATH");
    std::string_view folders = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    while (true) {
        const std::size_t colon = folders.find(':');
        const std::string_view folder = folders.substr(0, colon);
        const std::filesystem::path candidate =
            std::filesystem::path(folder.empty() ? "." : std::string(folder)) / name;
        if (runnable(candidate)) {
            return candidate.string();
        }
        if (colon == std::string_view::npos) {
            return std::nullopt;
        }
        folders.remove_prefix(colon + 1);
    }
}

}  // namespace vantor
