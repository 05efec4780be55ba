#include <gtest/gtest.h>

#include "http/MessageTestSupport.h"

namespace vantor {
namespace {

using test::Fed;

class HTTPResponseTest : public testing::Test {};

struct StatusCase {
    std::string statusLine;
    std::uint32_t code;
    std::string caption;
    int image;
    friend void PrintTo(const StatusCase& c, std::ostream* os) { *os << c.statusLine; }
};

class StatusLineTest : public testing::TestWithParam<StatusCase> {};

TEST_P(StatusLineTest, GivesCodeCaptionAndImage) {
    auto response = Fed<HTTPResponse>({GetParam().statusLine + "\r\nServer: t\r\n\r\n"});
    response->BuildCaption();
    EXPECT_EQ(response->statusCode(), GetParam().code);
    EXPECT_EQ(response->caption(), GetParam().caption);
    EXPECT_EQ(response->GetTreeImage(), GetParam().image);
    EXPECT_EQ(response->GetStartLine(), GetParam().caption);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, StatusLineTest,
    testing::Values(StatusCase{"HTTP/1.1 200 OK", 200, "200 OK", kImageResponseSuccess},
                    StatusCase{"HTTP/1.1 404 Not Found", 404, "404 Not Found", kImageResponseError},
                    StatusCase{"HTTP/1.1 304 Not Modified", 304, "304 Not Modified",
                               kImageResponseOther},
                    StatusCase{"HTTP/1.1 503 Service Unavailable", 503, "503 Service Unavailable",
                               kImageResponseError},
                    StatusCase{"HTTP/1.1 101 Switching Protocols", 101, "101 Switching Protocols",
                               kImageResponseOther},
                    StatusCase{"HTTP/1.1 600 Beyond", 600, "600 Beyond", kImageResponseOther},
                    StatusCase{"HTTP/1.1 OK", 0, "OK", kImageResponseIncomplete},
                    StatusCase{"HTTP/1.1    299   Odd", 299, "299   Odd", kImageResponseSuccess}));

TEST_F(HTTPResponseTest, HeaderCompletingInALaterPieceRaisesTheCaptionFlag) {
    auto response = test::Make<HTTPResponse>();
    test::Feed(*response, {"HTTP/1.1 200 OK\r\nContent-Ty"});
    response->BuildCaption();
    EXPECT_EQ(response->caption(), "200 OK");
    EXPECT_EQ(response->GetTreeImage(), kImageResponseIncomplete);
    EXPECT_FALSE(response->IsCaptionChanged());

    test::Feed(*response, {"pe: image/gif\r\n\r\nGIF89a"});
    EXPECT_TRUE(response->IsCaptionChanged()) << "raised also when the body is cut";
    EXPECT_EQ(response->state(), AssemblyState::BodyFiltered);
    EXPECT_EQ(response->GetTreeImage(), kImageResponseSuccess);
}

TEST_F(HTTPResponseTest, HeaderCompletingInTheFirstPieceLeavesTheFlagDown) {
    EXPECT_FALSE(Fed<HTTPResponse>({"HTTP/1.1 200 OK\r\n\r\n"})->IsCaptionChanged());
    EXPECT_FALSE(Fed<HTTPResponse>({"HTTP/1.1 200 OK\r\n\r\n", "more"})->IsCaptionChanged());
}

TEST_F(HTTPResponseTest, ContentClassComesFromTheLeadingWordOfTheType) {
    const std::pair<const char*, ContentClass> cases[] = {
        {"text/html", ContentClass::Text},
        {"Image/GIF", ContentClass::Image},
        {"video/mpeg", ContentClass::AudioVideo},
        {"audio/x-wav", ContentClass::AudioVideo},
        {"application/octet-stream", ContentClass::Application},
        {"multipart/x-mixed-replace", ContentClass::Other},
        {"", ContentClass::Other},
        {"textual/thing", ContentClass::Text},
    };
    for (const auto& [type, expected] : cases) {
        auto response = Fed<HTTPResponse>(
            {std::string("HTTP/1.1 200 OK\r\nContent-Type: ") + type + "\r\n\r\n"});
        EXPECT_EQ(response->contentClass(), expected) << type;
    }
}

TEST_F(HTTPResponseTest, WithoutContentTypeTheClassDependsOnBodyBytesInTheSamePiece) {
    const std::string header = "HTTP/1.1 200 OK\r\nServer: t\r\n\r\n";
    EXPECT_EQ(Fed<HTTPResponse>({header})->contentClass(), ContentClass::WithoutContent);
    EXPECT_EQ(Fed<HTTPResponse>({header, "later body"})->contentClass(),
              ContentClass::WithoutContent);
    EXPECT_EQ(Fed<HTTPResponse>({header + "x"})->contentClass(), ContentClass::WithoutContent);
    EXPECT_EQ(Fed<HTTPResponse>({header + "xy"})->contentClass(), ContentClass::Other);

    const std::string bare = "HTTP/1.0 200 OK\nServer: t\n\n";
    EXPECT_EQ(Fed<HTTPResponse>({bare + "x"})->contentClass(), ContentClass::WithoutContent);
    EXPECT_EQ(Fed<HTTPResponse>({bare + "xy"})->contentClass(), ContentClass::Other);
}

TEST_F(HTTPResponseTest, CaptionFallsBackToTheFirstLineOrKeepsItsValue) {
    auto noLineFeed = Fed<HTTPResponse>({"HTTP/1.1"});
    noLineFeed->BuildCaption();
    EXPECT_EQ(noLineFeed->caption(), "HTTP/1.1");

    auto noSpace = Fed<HTTPResponse>({"HTTP/1.1\r\n\r\n"});
    noSpace->BuildCaption();
    EXPECT_EQ(noSpace->caption(), "HTTP/1.1");

    auto spaceElsewhere = Fed<HTTPResponse>({"HTTP/1.1\r\nServer: t\r\n\r\n"});
    spaceElsewhere->BuildCaption();
    EXPECT_EQ(spaceElsewhere->caption(), "");

    auto empty = Fed<HTTPResponse>({""});
    empty->BuildCaption();
    EXPECT_EQ(empty->caption(), "");

    auto longReason = Fed<HTTPResponse>({"HTTP/1.1 200 " + std::string(400, 'r') + "\r\n\r\n"});
    longReason->BuildCaption();
    EXPECT_EQ(longReason->caption().size(), 255u);
}

}  // namespace
}  // namespace vantor
