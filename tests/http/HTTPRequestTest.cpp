#include <gtest/gtest.h>

#include "http/MessageTestSupport.h"

namespace vantor {
namespace {

using test::Fed;

class HTTPRequestTest : public testing::Test {};

TEST_F(HTTPRequestTest, MethodIsUpperCasedAndTargetIsTheLowerCasedHostAndPath) {
    auto request = Fed<HTTPRequest>({"get /a HTTP/1.1\r\nHost: ExAmple.COM:8080\r\n\r\n"});
    EXPECT_EQ(request->method(), "GET");
    EXPECT_EQ(request->target(), "example.com:8080/a");
    EXPECT_EQ(request->caption(), "GET example.com:8080/a");
    request->BuildCaption();
    EXPECT_EQ(request->caption(), "GET example.com:8080/a");
    EXPECT_EQ(request->GetTreeImage(), kImageRequest);
}

TEST_F(HTTPRequestTest, AbsoluteUriIsTheWholeTarget) {
    auto request = Fed<HTTPRequest>(
        {"GET http://intranet.example/status HTTP/1.1\r\nHost: intranet.example\r\n\r\n"});
    EXPECT_EQ(request->target(), "http://intranet.example/status");
    EXPECT_EQ(request->caption(), "GET http://intranet.example/status");
}

TEST_F(HTTPRequestTest, WithoutHostTheTargetIsThePath) {
    EXPECT_EQ(Fed<HTTPRequest>({"GET /a HTTP/1.0\r\n\r\n"})->caption(), "GET /a");
}

TEST_F(HTTPRequestTest, LongFieldsAreCut) {
    const std::string uri = "/" + std::string(299, 'u');
    auto request = Fed<HTTPRequest>({"GET " + uri + " HTTP/1.1\r\nHost: h\r\n\r\n"});
    EXPECT_EQ(request->target(), "h" + uri.substr(0, 255));
    EXPECT_EQ(request->caption(), "GET h" + uri.substr(0, 255));

    const std::string method(40, 'm');
    EXPECT_EQ(Fed<HTTPRequest>({method + " / HTTP/1.1\r\n\r\n"})->method(), std::string(31, 'M'));
}

TEST_F(HTTPRequestTest, OddRequestLinesGiveEmptyFieldsNotErrors) {
    auto leadingSpace = Fed<HTTPRequest>({" GET /x HTTP/1.1\r\nHost: h\r\n\r\n"});
    EXPECT_EQ(leadingSpace->method(), "");
    EXPECT_EQ(leadingSpace->caption(), " h/x");

    auto noSpace = Fed<HTTPRequest>({"PING\r\nHost: h\r\n\r\n"});
    EXPECT_EQ(noSpace->method(), "PING\r\nHOST:");
    EXPECT_EQ(noSpace->target(), "") << "no URI, so not even the host";
    EXPECT_EQ(noSpace->caption(), "PING\r\nHOST: ");
}

TEST_F(HTTPRequestTest, IncompleteHeaderShowsThePartialFirstLine) {
    auto request = test::Make<HTTPRequest>();
    test::Feed(*request, {"GET /long/path HT"});
    request->BuildCaption();
    EXPECT_EQ(request->caption(), "GET /long/path HT");
    EXPECT_EQ(request->GetTreeImage(), kImageRequestIncomplete);

    test::Feed(*request, {"TP/1.1 \t\r\nHost: h\r\n"});
    request->BuildCaption();
    EXPECT_EQ(request->caption(), "GET /long/path HTTP/1.1") << "line break and blanks dropped";
    EXPECT_FALSE(request->IsCaptionChanged());

    test::Feed(*request, {"\r\n"});
    EXPECT_EQ(request->caption(), "GET h/long/path");
    EXPECT_EQ(request->GetTreeImage(), kImageRequest);
    EXPECT_FALSE(request->IsCaptionChanged()) << "a request never raises the flag";
}

TEST_F(HTTPRequestTest, BlankFirstLineGivesAnEmptyCaption) {
    auto request = Fed<HTTPRequest>({" \r\nGET"});
    request->BuildCaption();
    EXPECT_EQ(request->caption(), "");
}

TEST_F(HTTPRequestTest, StartLineIsTheTextBeforeTheFirstLineFeed) {
    auto request = Fed<HTTPRequest>({"GET / HTTP/1.1\r\nHost: h\r\n\r\n"});
    EXPECT_EQ(request->startLine(), "");
    EXPECT_EQ(request->GetStartLine(), "GET / HTTP/1.1\r");
    EXPECT_EQ(request->startLine(), "GET / HTTP/1.1\r");
}

}  // namespace
}  // namespace vantor
