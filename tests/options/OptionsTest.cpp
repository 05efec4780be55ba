#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "options/Options.h"

namespace vantor {
namespace {

using testing::ElementsAre;
using testing::IsEmpty;

TEST(OptionsTest, DefaultsAreTheDocumentedOnes) {
    const Options options;
    const AppPreferences& p = options.preferences;
    EXPECT_TRUE(p.scan_req_body);
    EXPECT_TRUE(p.scan_res_body);
    EXPECT_EQ(p.max_req_size, 256);
    EXPECT_EQ(p.max_res_size, 256);
    EXPECT_TRUE(p.show_req_body);
    EXPECT_TRUE(p.show_res_body);
    EXPECT_EQ(p.view_order, 0);
    EXPECT_EQ(p.whole_word_content, 0);
    EXPECT_EQ(p.allowed_content,
              "\"\" \"text/\" \"application/x-javascript\" \"x-www-form-urlencoded\"");
    EXPECT_EQ(p.allowed_content.size(), 61u);
    EXPECT_THAT(p.allowedContentList, IsEmpty()) << "derived only when rebuilt";

    const FilterOptions& f = options.filter;
    EXPECT_FALSE(f.m_bEnabled);
    EXPECT_EQ(f.m_bHostEnabled, 0);
    for (Bool32 flag :
         {f.content_app, f.content_audio, f.content_image, f.content_text, f.content_without,
          f.content_other, f.rescode_client_error, f.rescode_info, f.rescode_other,
          f.rescode_redirect, f.rescode_server_error, f.rescode_success}) {
        EXPECT_EQ(flag, 1);
    }
    EXPECT_EQ(f.m_hostText, "");
    EXPECT_EQ(f.hostHistory.FilledCount(), 0u);

    const FindOptions& find = options.find;
    EXPECT_EQ(find.direction, 1);
    EXPECT_EQ(find.text, "");
    EXPECT_TRUE(find.inRequests);
    EXPECT_TRUE(find.inResponses);
    EXPECT_FALSE(find.matchCase);
    EXPECT_FALSE(find.wholeWord);
    EXPECT_FALSE(find.lastSearchSucceeded);

    EXPECT_EQ(options.runCount, 0);
    EXPECT_EQ(options.helpFolder, "");
}

struct ContentTypesCase {
    const char* name;
    std::string text;
    std::vector<std::string> list;
    bool allowWithout;
    friend void PrintTo(const ContentTypesCase& c, std::ostream* os) { *os << c.name; }
};

class ParseContentTypesTest : public testing::TestWithParam<ContentTypesCase> {};

TEST_P(ParseContentTypesTest, BuildsTheListAndTheEmptyWordFlag) {
    AppPreferences preferences;
    preferences.allowed_content = GetParam().text;
    preferences.allowedContentList = {"left over"};
    preferences.allowWithoutContentType = true;
    preferences.ParseContentTypes();
    EXPECT_EQ(preferences.allowedContentList, GetParam().list);
    EXPECT_EQ(preferences.allowWithoutContentType, GetParam().allowWithout);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseContentTypesTest,
    testing::Values(
        ContentTypesCase{"Default",
                         std::string(kDefaultAllowedContent),
                         {"text/", "application/x-javascript", "x-www-form-urlencoded"},
                         true},
        ContentTypesCase{"UnbalancedQuoteEndsTheList", R"("image/" "text/)", {"image/"}, false},
        ContentTypesCase{"EscapedQuoteBecomesAQuote", R"("a\"b")", {"a\"b"}, false},
        ContentTypesCase{"ItemsAreLowerCased", R"("TEXT/")", {"text/"}, false},
        ContentTypesCase{
            "TextOutsideQuotesIsIgnored", R"(junk "a", "b" ; "c")", {"a", "b", "c"}, false},
        ContentTypesCase{"EmptyPairAnywhereAllowsMessagesWithout", R"("x" "")", {"x"}, true},
        ContentTypesCase{"NoQuotesAtAll", "text/html", {}, false},
        ContentTypesCase{"EmptyText", "", {}, false},
        ContentTypesCase{"LoneQuote", "\"", {}, false}),
    test::CaseName());

struct HostWordsCase {
    const char* name;
    std::string text;
    std::vector<std::string> words;
    friend void PrintTo(const HostWordsCase& c, std::ostream* os) { *os << c.name; }
};

class SplitHostWordsTest : public testing::TestWithParam<HostWordsCase> {};

TEST_P(SplitHostWordsTest, CutsAtSpacesAndTabs) {
    FilterOptions filter;
    filter.m_hostText = GetParam().text;
    filter.m_hostWords = {"left over"};
    filter.SplitHostWords();
    EXPECT_EQ(filter.m_hostWords, GetParam().words);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SplitHostWordsTest,
    testing::Values(HostWordsCase{"MixedBlanks", "  foo.com \t bar  ", {"foo.com", "bar"}},
                    HostWordsCase{"KeepsCase", "Shop.TEST", {"Shop.TEST"}},
                    HostWordsCase{"BlanksOnly", " \t  ", {}}, HostWordsCase{"Empty", "", {}},
                    HostWordsCase{"LineBreaksAreTrimmedAtTheEnds", "\r\na b\n", {"a", "b"}}),
    test::CaseName());

std::vector<std::string> Filled(const InputHistory& history) {
    std::vector<std::string> result;
    for (std::size_t i = 0; i < history.FilledCount(); ++i) {
        result.push_back(history[i]);
    }
    return result;
}

TEST(InputHistoryTest, NewestComesFirstAndTheEleventhDropsTheOldest) {
    InputHistory history;
    for (int i = 0; i < 11; ++i) {
        history.Add("t" + std::to_string(i));
    }
    EXPECT_THAT(Filled(history),
                ElementsAre("t10", "t9", "t8", "t7", "t6", "t5", "t4", "t3", "t2", "t1"));
}

TEST(InputHistoryTest, PresentOrEmptyTextChangesNothing) {
    InputHistory history;
    for (int i = 0; i < 6; ++i) {
        history.Add("t" + std::to_string(i));
    }
    const InputHistory before = history;
    history.Add(history[4]);
    history.Add("");
    EXPECT_EQ(history, before);

    history.Add("T1");  // comparison is case-sensitive
    EXPECT_EQ(history[0], "T1");
    EXPECT_EQ(history.FilledCount(), 7u);
}

}  // namespace
}  // namespace vantor
