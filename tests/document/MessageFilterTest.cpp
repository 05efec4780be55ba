#include <gtest/gtest.h>

#include "document/MessageFilter.h"
#include "http/MessageTestSupport.h"
#include "options/FilterOptions.h"

namespace vantor {
namespace {

using test::Fed;

class MessageFilterTest : public testing::Test {
protected:
    MessageFilterTest() { filter.m_bEnabled = true; }

    void HostFilter(const std::string& text) {
        filter.m_bHostEnabled = 1;
        filter.m_hostText = text;
        filter.SplitHostWords();
    }

    std::unique_ptr<HTTPRequest> Request(const std::string& host) {
        return Fed<HTTPRequest>({"GET /index.html HTTP/1.1\r\nHost: " + host + "\r\n\r\n"});
    }
    std::unique_ptr<HTTPResponse> Response(const std::string& statusLine,
                                           const std::string& type = "text/html") {
        return Fed<HTTPResponse>({statusLine + "\r\nContent-Type: " + type + "\r\n\r\n"});
    }

    FilterOptions filter;
    MessageFilter verdicts;
};

TEST_F(MessageFilterTest, WithTheFilterOffEverythingPasses) {
    filter = FilterOptions{};
    filter.content_text = 0;
    filter.rescode_success = 0;
    filter.m_bHostEnabled = 1;
    filter.m_hostText = "nothing-matches";
    filter.SplitHostWords();
    auto request = Request("shop.test");
    auto response = Response("HTTP/1.1 200 OK");
    request->SetResponse(response.get());
    EXPECT_TRUE(verdicts.Passes(filter, *request));
    EXPECT_TRUE(verdicts.Passes(filter, *response));
    EXPECT_TRUE(filter.CheckHost("x"));
    EXPECT_TRUE(filter.CheckResponseCode(200));
    EXPECT_TRUE(filter.CheckContentClass(1));
}

TEST_F(MessageFilterTest, HostWordsMatchAnywhereAndCaseSensitively) {
    HostFilter("shop");
    EXPECT_TRUE(verdicts.Passes(filter, *Request("shop.test")));
    EXPECT_TRUE(verdicts.Passes(filter, *Request("SHOP.TEST"))) << "the Host field is lower-cased";
    auto proxied = Fed<HTTPRequest>({"GET http://SHOP.TEST/ HTTP/1.1\r\n\r\n"});
    ASSERT_EQ(proxied->target(), "http://SHOP.TEST/");
    EXPECT_FALSE(verdicts.Passes(filter, *proxied)) << "an absolute URI keeps its case";
    HostFilter("SHOP");
    EXPECT_FALSE(verdicts.Passes(filter, *Request("shop.test")));
    HostFilter("nope .test");
    EXPECT_TRUE(verdicts.Passes(filter, *Request("shop.test")));
}

TEST_F(MessageFilterTest, HostTextOfBlanksHidesEveryRequestButEmptyTextHidesNone) {
    HostFilter("   ");
    EXPECT_FALSE(verdicts.Passes(filter, *Request("shop.test")));
    HostFilter("");
    EXPECT_TRUE(verdicts.Passes(filter, *Request("shop.test")));
    HostFilter("   ");
    filter.m_bHostEnabled = 0;
    EXPECT_TRUE(verdicts.Passes(filter, *Request("shop.test"))) << "host test switched off";
}

TEST_F(MessageFilterTest, ResponseCodeClasses) {
    struct Case {
        std::uint32_t code;
        Bool32 FilterOptions::*flag;
    };
    const Case cases[] = {
        {0, &FilterOptions::rescode_other},          {99, &FilterOptions::rescode_other},
        {100, &FilterOptions::rescode_info},         {199, &FilterOptions::rescode_info},
        {200, &FilterOptions::rescode_success},      {299, &FilterOptions::rescode_success},
        {300, &FilterOptions::rescode_redirect},     {399, &FilterOptions::rescode_redirect},
        {400, &FilterOptions::rescode_client_error}, {499, &FilterOptions::rescode_client_error},
        {500, &FilterOptions::rescode_server_error}, {599, &FilterOptions::rescode_server_error},
        {600, &FilterOptions::rescode_other},        {4294967295u, &FilterOptions::rescode_other},
    };
    for (const Case& c : cases) {
        FilterOptions only = filter;
        EXPECT_TRUE(only.CheckResponseCode(c.code)) << c.code;
        only.*c.flag = 0;
        EXPECT_FALSE(only.CheckResponseCode(c.code)) << c.code;
        for (const Case& other : cases) {
            if (other.flag != c.flag) {
                EXPECT_TRUE(only.CheckResponseCode(other.code)) << c.code << " " << other.code;
            }
        }
    }
}

TEST_F(MessageFilterTest, ContentClasses) {
    Bool32 FilterOptions::*flags[] = {
        &FilterOptions::content_app,   &FilterOptions::content_text,
        &FilterOptions::content_audio, &FilterOptions::content_image,
        &FilterOptions::content_other, &FilterOptions::content_without};
    for (std::int32_t contentClass = 0; contentClass < 6; ++contentClass) {
        FilterOptions only = filter;
        only.*flags[contentClass] = 0;
        for (std::int32_t tested = -1; tested < 8; ++tested) {
            EXPECT_EQ(only.CheckContentClass(tested), tested != contentClass)
                << contentClass << " off, testing " << tested;
        }
    }
}

TEST_F(MessageFilterTest, IncompleteResponsePassesWhateverItsFlags) {
    filter.rescode_other = 0;
    filter.content_without = 0;
    auto partial = Fed<HTTPResponse>({"HTTP/1.1 200 OK\r\n"});
    EXPECT_TRUE(verdicts.Passes(filter, *partial));
}

TEST_F(MessageFilterTest, RequestWithoutResponsePassesUnlessTheHostFails) {
    filter.rescode_success = 0;
    filter.content_text = 0;
    EXPECT_TRUE(verdicts.Passes(filter, *Request("a.test")));
}

TEST_F(MessageFilterTest, AHiddenRequestTakesItsResponseAlongOnce) {
    HostFilter("other");
    auto request = Request("shop.test");
    auto response = Response("HTTP/1.1 200 OK");
    request->SetResponse(response.get());

    EXPECT_FALSE(verdicts.Passes(filter, *request));
    EXPECT_TRUE(verdicts.HiddenWithItsRequest(*response));
    EXPECT_FALSE(verdicts.Passes(filter, *response)) << "follows its hidden request";
    EXPECT_FALSE(verdicts.HiddenWithItsRequest(*response)) << "the mark is used up";
    EXPECT_TRUE(verdicts.Passes(filter, *response)) << "then it is tested by itself again";
}

TEST_F(MessageFilterTest, ARequestFailsWithAResponseThatFails) {
    filter.rescode_client_error = 0;
    auto request = Request("shop.test");
    auto response = Response("HTTP/1.1 404 Not Found");
    request->SetResponse(response.get());
    EXPECT_FALSE(verdicts.Passes(filter, *request));
    EXPECT_TRUE(verdicts.HiddenWithItsRequest(*response));

    filter.rescode_client_error = 1;
    EXPECT_TRUE(verdicts.Passes(filter, *request));
    EXPECT_FALSE(verdicts.HiddenWithItsRequest(*response)) << "a passing pair clears the mark";
}

}  // namespace
}  // namespace vantor
