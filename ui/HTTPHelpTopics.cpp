#include "ui/HTTPHelpTopics.h"

#include <cstdio>

#include "platform/AsciiText.h"
#include "platform/HelpOpener.h"
#include "platform/RichEditControl.h"

namespace vantor {

namespace {

constexpr std::size_t kLineLimit = 32000;

// The status codes with a page: 100-101, 200-206, 300-307, 400-417, 500-505.
constexpr std::pair<int, int> kStatusRanges[] = {
    {100, 101}, {200, 206}, {300, 307}, {400, 417}, {500, 505}};

}  // namespace

HTTPHelpTopics::HTTPHelpTopics(std::string helpFolder, HelpOpener& opener)
    : m_helpPrefix(std::move(helpFolder) + "httphelp.chm::/"), m_opener(opener) {
    m_topics = {
        {"options", "0902.htm"},
        {"get", "0903.htm"},
        {"head", "0904.htm"},
        {"post", "0905.htm"},
        {"put", "0906.htm"},
        {"delete", "0907.htm"},
        {"trace", "0908.htm"},
        {"connect", "0909.htm"},
        {"accept", "1401.htm"},
        {"accept-charset", "1402.htm"},
        {"accept-encoding", "1403.htm"},
        {"accept-language", "1404.htm"},
        {"accept-ranges", "1405.htm"},
        {"age", "1406.htm"},
        {"allow", "1407.htm"},
        {"authorization", "1408.htm"},
        {"cache-control", "1409.htm"},
        {"connection", "1410.htm"},
        {"content-encoding", "1411.htm"},
        {"content-language", "1412.htm"},
        {"content-length", "1413.htm"},
        {"content-location", "1414.htm"},
        {"content-md5", "1415.htm"},
        {"content-range", "1416.htm"},
        {"content-type", "1417.htm"},
        {"date", "1418.htm"},
        {"etag", "1419.htm"},
        {"expect", "1420.htm"},
        {"expires", "1421.htm"},
        {"from", "1422.htm"},
        {"host", "1423.htm"},
        {"if-match", "1424.htm"},
        {"if-modified-since", "1425.htm"},
        {"if-none-match", "1426.htm"},
        {"if-range", "1427.htm"},
        {"if-unmodified-since", "1428.htm"},
        {"last-modified", "1429.htm"},
        {"location", "1430.htm"},
        {"max-forwards", "1431.htm"},
        {"pragma", "1432.htm"},
        {"proxy-authenticate", "1433.htm"},
        {"proxy-authorization", "1434.htm"},
        {"range", "1435.htm"},
        {"referer", "1436.htm"},
        {"retry-after", "1437.htm"},
        {"server", "1438.htm"},
        {"te", "1439.htm"},
        {"trailer", "1440.htm"},
        {"transfer-encoding", "1441.htm"},
        {"upgrade", "1442.htm"},
        {"user-agent", "1443.htm"},
        {"vary", "1444.htm"},
        {"via", "1445.htm"},
        {"warning", "1446.htm"},
        {"www-authenticate", "1447.htm"},
        {"cookie", "cook_coo.htm"},
        {"set-cookie", "cook_set.htm"},
    };
    // Page of status code c: "100", the hundreds digit, c mod 100 + 1 in two digits.
    for (const auto& [first, last] : kStatusRanges) {
        for (int code = first; code <= last; ++code) {
            const int number = code % 100 + 1;
            m_topics.emplace(std::to_string(code), "100" + std::to_string(code / 100) +
                                                       (number < 10 ? "0" : "") +
                                                       std::to_string(number) + ".htm");
        }
    }
}

std::optional<std::string> HTTPHelpTopics::TopicForLine(std::string_view line) const {
    // The standard formatted input gives exactly the word the two patterns describe; a line
    // never holds a NUL byte from a message (those became spaces), and sscanf stops at one.
    std::string lower = AsciiLower(line);
    char word[256] = {};
    if (std::sscanf(lower.c_str(), "http/%*i.%*i %3s", word) != 1 &&
        std::sscanf(lower.c_str(), "%255[^: ]", word) != 1) {
        return std::nullopt;
    }
    const auto found = m_topics.find(word);
    if (found == m_topics.end()) {
        return std::nullopt;
    }
    return m_helpPrefix + found->second;
}

void HTTPHelpTopics::HelpForLine(std::string_view line) {
    if (const auto topic = TopicForLine(line)) {
        m_opener.DisplayTopic(*topic);
    }
}

void HTTPHelpTopics::HelpForCaretLine(const RichEditControl& control) {
    const std::size_t caret = control.Selection().first;
    const std::size_t line = control.LineFromChar(caret);
    HelpForLine(control.LineText(line, kLineLimit));
}

}  // namespace vantor
