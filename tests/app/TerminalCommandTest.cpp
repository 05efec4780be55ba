#include "app/TerminalCommand.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <set>

namespace vantor {
namespace {

using testing::ElementsAre;

// A desktop as the test describes it: its environment and the programs it has.
struct Desktop {
    std::map<std::string, std::string> environment;
    std::set<std::string> programs;

    std::optional<std::vector<std::string>> Command() const {
        return TerminalCommand(
            "/opt/vantor/bin/vantor-run",
            [this](const std::string& name) -> std::optional<std::string> {
                const auto found = environment.find(name);
                return found != environment.end() ? std::optional(found->second) : std::nullopt;
            },
            [this](const std::string& name) -> std::optional<std::string> {
                const std::string path =
                    name.find('/') != std::string::npos ? name : "/usr/bin/" + name;
                return programs.contains(path) ? std::optional(path) : std::nullopt;
            });
    }
};

TEST(TerminalCommandTest, TheUsersChoiceThenDebiansAlternativeThenACommonOne) {
    Desktop desktop{{{"SHELL", "/bin/zsh"}, {"TERMINAL", "kitty"}},
                    {"/usr/bin/kitty", "/usr/bin/x-terminal-emulator", "/usr/bin/xterm"}};
    EXPECT_THAT(*desktop.Command(),
                ElementsAre("/usr/bin/kitty", "/opt/vantor/bin/vantor-run", "/bin/zsh"));

    desktop.environment["TERMINAL"] = "not-installed";
    EXPECT_THAT(*desktop.Command(), ElementsAre("/usr/bin/x-terminal-emulator", "-e",
                                                "/opt/vantor/bin/vantor-run", "/bin/zsh"));

    desktop.programs = {"/usr/bin/gnome-terminal", "/usr/bin/xterm"};
    desktop.environment.erase("SHELL");
    EXPECT_THAT(*desktop.Command(), ElementsAre("/usr/bin/gnome-terminal", "--",
                                                "/opt/vantor/bin/vantor-run", "/bin/sh"))
        << "each terminal is given the command its own way";

    desktop.programs.clear();
    EXPECT_EQ(desktop.Command(), std::nullopt);
}

TEST(TerminalCommandTest, ProgramsAreFoundOnThePathAsTheShellFindsThem) {
    EXPECT_EQ(FindProgramOnPath("/bin/sh"), "/bin/sh");
    ASSERT_TRUE(FindProgramOnPath("sh").has_value());
    EXPECT_TRUE(FindProgramOnPath("sh")->ends_with("/sh"));
    EXPECT_EQ(FindProgramOnPath("no-such-program-anywhere"), std::nullopt);
    EXPECT_EQ(FindProgramOnPath("/etc/passwd"), std::nullopt) << "not executable";
    EXPECT_EQ(FindProgramOnPath("/etc"), std::nullopt) << "a folder";
    EXPECT_EQ(FindProgramOnPath(""), std::nullopt);
}

TEST(TerminalCommandTest, TheProgramOfACommandLineIsItsFirstPlainWordUnlessTheShellRunsIt) {
    EXPECT_EQ(ProgramOfCommandLine("curl -s http://x/"), "curl");
    EXPECT_EQ(ProgramOfCommandLine("  ./run.sh"), "./run.sh");
    EXPECT_EQ(ProgramOfCommandLine("/usr/bin/wget -q x"), "/usr/bin/wget");
    EXPECT_EQ(ProgramOfCommandLine("python3.11;true"), "python3.11");
    EXPECT_EQ(ProgramOfCommandLine("git|cat"), "git");
    // The shell's own, or what only the shell can read.
    for (const char* line : {"cd /tmp && curl x", "for i in 1 2; do curl x; done", "echo hi",
                             "FOO=1 curl x", "\"my prog\" -x", "$HOME/bin/x", "(curl x)", "", "   ",
                             "exec curl x", "if true; then :; fi"}) {
        EXPECT_EQ(ProgramOfCommandLine(line), std::nullopt) << line;
    }
}

}  // namespace
}  // namespace vantor
