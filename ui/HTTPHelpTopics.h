#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace vantor {

class HelpOpener;
class RichEditControl;

// The HTTP reference's table of topics: request methods, status codes and header fields, each
// with its page in "httphelp.chm". A line of message text opens the page of its status code,
// its method or its header name.
class HTTPHelpTopics {
public:
    // helpFolder is put in front of "httphelp.chm::/" as it is.
    HTTPHelpTopics(std::string helpFolder, HelpOpener& opener);

    // Opens the page of the line that holds the caret (at most its first 32,000 characters).
    void HelpForCaretLine(const RichEditControl& control);
    void HelpForLine(std::string_view line);

    // The topic a line opens ("<folder>httphelp.chm::/<page>"), or nothing.
    std::optional<std::string> TopicForLine(std::string_view line) const;
    const std::map<std::string, std::string>& topics() const { return m_topics; }
    const std::string& helpPrefix() const { return m_helpPrefix; }

private:
    std::string m_helpPrefix;
    std::map<std::string, std::string> m_topics;
    HelpOpener& m_opener;
};

}  // namespace vantor
