#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantor {

// The command line that opens the desktop's terminal emulator running the user's shell through
// vantor-run, so that everything started in it is captured. The terminal is the one $TERMINAL
// names, else x-terminal-emulator (Debian's alternative), else the first of a few common ones
// found; each is given the command the way it takes one. The shell is $SHELL, else /bin/sh.
// Nothing when no terminal emulator is found.
//   environment: looks a variable up (nothing when unset).
//   findProgram: the full path of a program name as the shell would find it on PATH (a name
//   with a slash is taken as a path), nothing when there is none.
std::optional<std::vector<std::string>> TerminalCommand(
    const std::string& vantorRun,
    const std::function<std::optional<std::string>(const std::string&)>& environment,
    const std::function<std::optional<std::string>(const std::string&)>& findProgram);

// findProgram as the process's own PATH gives it: an executable regular file.
std::optional<std::string> FindProgramOnPath(const std::string& name);

// The program a shell command line starts, when that can be told without running it: its first
// word, when the line begins with a plain word (letters, digits, and . _ + - /) that is not one
// of the shell's own commands or keywords. Nothing for anything else (an assignment, quoting,
// a builtin such as cd): then only the shell can say.
std::optional<std::string> ProgramOfCommandLine(std::string_view commandLine);

// The argument list that runs a shell command line captured: vantor-run /bin/sh -c LINE.
std::vector<std::string> CapturedShellCommand(const std::string& vantorRun,
                                              const std::string& commandLine);

}  // namespace vantor
