#pragma once

#include <functional>
#include <optional>
#include <string>
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

}  // namespace vantor
