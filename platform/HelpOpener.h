#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vantor {

// Opens help topics named as "<folder>file.chm::/page.htm", or "<folder>file.chm" for the
// file's index. Our help files are folders of HTML pages: the topic is the page
// "<folder>file/page.htm" (or "<folder>file/index.htm"), shown in the program's help browser.
// A page that does not exist opens nothing and shows nothing.
// Said once when help is asked for and the help files are not there at all.
inline constexpr std::string_view kTextNoHelpPages =
    "The help pages were not found. Run vantor-setup once (it finds the pages that come with "
    "the program), or give their folder with vantor-setup --help-folder DIR.";

class HelpOpener {
public:
    virtual ~HelpOpener() = default;
    virtual void DisplayTopic(const std::string& topic) = 0;

    // The page a topic names, or nothing when it names no existing page.
    static std::optional<std::filesystem::path> ResolveTopic(const std::string& topic);
    // Whether the help file a topic names is there at all (a folder of pages).
    static bool HelpFileExists(const std::string& topic);
};

}  // namespace vantor
