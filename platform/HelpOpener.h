#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace vantor {

// Opens help topics named as "<folder>file.chm::/page.htm", or "<folder>file.chm" for the
// file's index. Our help files are folders of HTML pages: the topic is the page
// "<folder>file/page.htm" (or "<folder>file/index.htm"), shown in the program's help browser.
// A page that does not exist opens nothing and shows nothing.
class HelpOpener {
public:
    virtual ~HelpOpener() = default;
    virtual void DisplayTopic(const std::string& topic) = 0;

    // The page a topic names, or nothing when it names no existing page.
    static std::optional<std::filesystem::path> ResolveTopic(const std::string& topic);
};

}  // namespace vantor
