#include "ui/HTTPHelpTopics.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "ui/ViewsTestSupport.h"

namespace vantor {
namespace {

class HTTPHelpTopicsTest : public testing::Test {
protected:
    std::string Page(std::string_view line) {
        const auto topic = topics.TopicForLine(line);
        return topic ? topic->substr(topics.helpPrefix().size()) : "";
    }

    test::RecordingHelpOpener opener;
    HTTPHelpTopics topics{"/usr/share/vantor/help/", opener};
};

TEST_F(HTTPHelpTopicsTest, NinetyEightTopicsWithThePageRuleForStatusCodes) {
    EXPECT_EQ(topics.topics().size(), 98u);
    EXPECT_EQ(topics.helpPrefix(), "/usr/share/vantor/help/httphelp.chm::/");
    int statusCodes = 0;
    for (const auto& [key, page] : topics.topics()) {
        if (key[0] >= '0' && key[0] <= '9') {
            ++statusCodes;
            const int code = std::stoi(key);
            char expected[32];
            std::snprintf(expected, sizeof expected, "100%d%02d.htm", code / 100, code % 100 + 1);
            EXPECT_EQ(page, expected) << key;
        }
    }
    EXPECT_EQ(statusCodes, 41);
    for (const auto& [code, page] : {std::pair{"100", "100101.htm"},
                                     {"101", "100102.htm"},
                                     {"200", "100201.htm"},
                                     {"206", "100207.htm"},
                                     {"307", "100308.htm"},
                                     {"404", "100405.htm"},
                                     {"417", "100418.htm"},
                                     {"505", "100506.htm"}}) {
        EXPECT_EQ(topics.topics().at(code), page);
    }
}

TEST_F(HTTPHelpTopicsTest, LinesOpenThePageOfTheirWord) {
    EXPECT_EQ(Page("HTTP/1.1 200 OK"), "100201.htm");
    EXPECT_EQ(Page("HTTP/1.0 304 Not Modified\r\n"), "100305.htm");
    EXPECT_EQ(Page("GET /index.html HTTP/1.1"), "0903.htm");
    EXPECT_EQ(Page("CONNECT host:443 HTTP/1.0"), "0909.htm");
    EXPECT_EQ(Page("Content-Type: text/html"), "1417.htm");
    EXPECT_EQ(Page("CONTENT-TYPE:text/html"), "1417.htm");
    EXPECT_EQ(Page("Host : x"), "1423.htm");
    EXPECT_EQ(Page("Set-Cookie: a=b"), "cook_set.htm");
    EXPECT_EQ(Page("Cookie: a=b"), "cook_coo.htm");
    EXPECT_EQ(Page("date: tomorrow"), "1418.htm") << "a body line that starts with a key";
}

TEST_F(HTTPHelpTopicsTest, UnknownWordsAndOddLinesOpenNothing) {
    for (const char* line : {"HTTP/1.1 102 Processing", "HTTP/1.1 208 x", "HTTP/1.1 308 x",
                             "HTTP/1.1 418 x", "HTTP/1.1 506 x", "PATCH /x HTTP/1.1", "",
                             " folded: continuation", ":colon", "HTTP/1.1\r\n", "X-Custom: 1"}) {
        EXPECT_EQ(Page(line), "") << line;
    }
    topics.HelpForLine("PATCH /x HTTP/1.1");
    EXPECT_TRUE(opener.topics.empty());
    topics.HelpForLine("GET / HTTP/1.1");
    EXPECT_THAT(opener.topics,
                testing::ElementsAre("/usr/share/vantor/help/httphelp.chm::/0903.htm"));
}

TEST_F(HTTPHelpTopicsTest, TheCaretLineIsCutAt32000Characters) {
    test::FakeRichEditControl control;
    control.SetText("first line\r\nServer: " + std::string(40000, 'x') + "\r\nlast");
    control.SetSelection(50, 50);
    topics.HelpForCaretLine(control);
    control.SetSelection(5, 5);
    topics.HelpForCaretLine(control);
    EXPECT_THAT(opener.topics,
                testing::ElementsAre("/usr/share/vantor/help/httphelp.chm::/1438.htm"));
}

TEST(HelpOpenerTest, TopicsNameExistingPagesOnly) {
    EXPECT_EQ(HelpOpener::ResolveTopic("/nonexistent/httphelp.chm::/1417.htm"), std::nullopt);
    const std::string folder = std::string(VANTOR_SOURCE_DIR) + "/ui/help/";
    EXPECT_EQ(HelpOpener::ResolveTopic(folder + "httphelp.chm::/1417.htm"),
              std::filesystem::path(folder) / "httphelp" / "1417.htm");
    EXPECT_EQ(HelpOpener::ResolveTopic(folder + "httphelp.chm"),
              std::filesystem::path(folder) / "httphelp" / "index.htm");
    EXPECT_EQ(HelpOpener::ResolveTopic(folder + "httphelp.chm::/../../CMakeLists.txt"),
              std::nullopt);
    EXPECT_EQ(HelpOpener::ResolveTopic(folder + "httphelp.chm::/9999.htm"), std::nullopt);
}

TEST(HelpOpenerTest, EveryTopicHasAPageThatLinksOnlyToPagesThatExist) {
    test::RecordingHelpOpener opener;
    const std::string folder = std::string(VANTOR_SOURCE_DIR) + "/ui/help/";
    HTTPHelpTopics topics(folder, opener);
    for (const auto& [key, page] : topics.topics()) {
        const auto file = HelpOpener::ResolveTopic(topics.helpPrefix() + page);
        ASSERT_TRUE(file.has_value()) << key << " " << page;
        std::ifstream input(*file);
        const std::string html((std::istreambuf_iterator<char>(input)),
                               std::istreambuf_iterator<char>());
        for (std::size_t at = html.find("href=\""); at != std::string::npos;
             at = html.find("href=\"", at + 1)) {
            const std::string target = html.substr(at + 6, html.find('"', at + 6) - at - 6);
            EXPECT_TRUE(std::filesystem::exists(file->parent_path() / target))
                << page << " -> " << target;
        }
    }
}

}  // namespace
}  // namespace vantor
