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

std::optional<std::string> ProgramOfCommandLine(std::string_view commandLine) {
    std::size_t start = 0;
    while (start < commandLine.size() &&
           (commandLine[start] == ' ' || commandLine[start] == '\t')) {
        ++start;
    }
    std::size_t end = start;
    const auto plain = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '_' || c == '+' || c == '-' || c == '/';
    };
    while (end < commandLine.size() && plain(commandLine[end])) {
        ++end;
    }
    const bool wordEnds = end == commandLine.size() || commandLine[end] == ' ' ||
                          commandLine[end] == '\t' || commandLine[end] == ';' ||
                          commandLine[end] == '&' || commandLine[end] == '|';
    if (end == start || !wordEnds) {
        return std::nullopt;
    }
    const std::string word(commandLine.substr(start, end - start));
    // The shell's own: special and regular builtins of POSIX sh and dash, and its keywords.
    static constexpr std::string_view kShellOwn[] = {
        ".",     "alias", "bg",     "break", "case", "cd",       "command", "continue", "do",
        "done",  "echo",  "elif",   "else",  "esac", "eval",     "exec",    "exit",     "export",
        "false", "fc",    "fg",     "fi",    "for",  "getopts",  "hash",    "if",       "jobs",
        "kill",  "local", "printf", "pwd",   "read", "readonly", "return",  "set",      "shift",
        "test",  "then",  "times",  "trap",  "true", "type",     "ulimit",  "umask",    "unalias",
        "unset", "until", "wait",   "while"};
    for (const std::string_view own : kShellOwn) {
        if (word == own) {
            return std::nullopt;
        }
    }
    return word;
}

std::vector<std::string> CapturedShellCommand(const std::string& vantorRun,
                                              const std::string& commandLine) {
    return {vantorRun, "/bin/sh", "-c", commandLine};
}

}  // namespace vantor
