#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "http/MessageTestSupport.h"

namespace vantor {
namespace {

using test::Fed;
using Fields = std::map<std::string, std::string>;

class HeaderParsingTest : public testing::Test {};

Fields HeadersOf(std::initializer_list<std::string_view> pieces) {
    return test::FieldsOf(Fed<HTTPRequest>(pieces)->headers());
}

TEST_F(HeaderParsingTest, NamesAndValuesAreLowerCasedAndTrimmed) {
    EXPECT_EQ(HeadersOf({"GET / HTTP/1.1\r\n"
                         "Host: ExAmple.COM\r\n"
                         "Content-Length: 0\r\n"
                         "X-Empty:\r\n"
                         "X-Blank:    \r\n"
                         "X-Padded: \t a  b \t\r\n"
                         "X-Port: a:8080\r\n"
                         "\r\n"}),
              (Fields{{"host", "example.com"},
                      {"content-length", "0"},
                      {"x-empty", ""},
                      {"x-blank", ""},
                      {"x-padded", "a  b"},
                      {"x-port", "a:8080"}}));
}

TEST_F(HeaderParsingTest, ALaterFieldOfTheSameNameReplacesTheEarlier) {
    EXPECT_EQ(HeadersOf({"HTTP/1.1 200 OK\r\nSet-Cookie: a=1\r\nSet-Cookie: b=2\r\n\r\n"}),
              (Fields{{"set-cookie", "b=2"}}));
}

TEST_F(HeaderParsingTest, ALineWithoutColonIsANameWithAnEmptyValue) {
    EXPECT_EQ(HeadersOf({"GET / HTTP/1.1\r\nJust Some Words\r\nBad Name : v\r\n\r\n"}),
              (Fields{{"just some words", ""}, {"bad name ", "v"}}));
}

TEST_F(HeaderParsingTest, BareLineFeedsWork) {
    EXPECT_EQ(HeadersOf({"GET / HTTP/1.0\nA: 1\nB: 2\n\nbody"}), (Fields{{"a", "1"}, {"b", "2"}}));
}

TEST_F(HeaderParsingTest, HostSplitAcrossPiecesIsParsedWhenTheHeaderCompletes) {
    auto request = test::Make<HTTPRequest>();
    test::Feed(*request, {"GET / HTTP/1.1\r\nHo"});
    EXPECT_EQ(request->state(), AssemblyState::ReadingHeader);
    EXPECT_EQ(test::FieldsOf(request->headers()).size(), 0u);
    test::Feed(*request, {"st: x\r\n\r\n"});
    EXPECT_EQ(request->state(), AssemblyState::ReadingBody);
    EXPECT_EQ(test::FieldsOf(request->headers()), (Fields{{"host", "x"}}));
}

TEST_F(HeaderParsingTest, BareLineFeedPairBeforeCrLfPairEndsTheHeader) {
    const auto request = Fed<HTTPRequest>({"GET / HTTP/1.1\r\nA: 1\n\nB: 2\r\n\r\n"});
    EXPECT_EQ(request->headerEnd(), 22);
    EXPECT_EQ(test::FieldsOf(request->headers()), (Fields{{"a", "1"}}));
}

TEST_F(HeaderParsingTest, ALastLineEndedByCrCrLfDoesNotLetTheWalkReadTheBody) {
    const auto request = Fed<HTTPRequest>({"POST / HTTP/1.1\r\nA: 1\r\r\n\r\nB: 2\r\nC: 3\r\n"});
    EXPECT_EQ(test::FieldsOf(request->headers()), (Fields{{"a", "1"}}));
}

// The walk starts at the first CR LF of the whole text, as the header rules say; a start line
// ended by a bare LF therefore makes it begin later. These pin that behaviour down.
TEST_F(HeaderParsingTest, WalkStartsAtTheFirstCrLfAnywhere) {
    EXPECT_EQ(HeadersOf({"GET /\nA: 1\r\n\r\n"}), Fields{});
    // Here the first CR LF is in the body; its last line has no LF and is not stored.
    EXPECT_EQ(HeadersOf({"GET / HTTP/1.0\nA: 1\n\nbody\r\nX: y"}), Fields{});
    EXPECT_EQ(HeadersOf({"GET / HTTP/1.0\nA: 1\n\nbody\r\nX: y\n"}), (Fields{{"x", "y"}}));
}

TEST_F(HeaderParsingTest, ParsingAgainGivesTheSameFields) {
    auto request = test::Make<HTTPRequest>();
    test::Feed(*request, {"GET / HTTP/1.1\r\nA: 1\r\n\r\n"});
    request->ParseHeaders();  // again, as loading does; same fields
    EXPECT_EQ(test::FieldsOf(request->headers()), (Fields{{"a", "1"}}));
}

TEST_F(HeaderParsingTest, IncompleteHeaderParsesNothing) {
    auto request = test::Make<HTTPRequest>();
    test::Feed(*request, {"GET / HTTP/1.1\r\nA: 1\r\n"});
    request->ParseHeaders();
    EXPECT_EQ(request->headerEnd(), -1);
    EXPECT_EQ(test::FieldsOf(request->headers()).size(), 0u);
}

}  // namespace
}  // namespace vantor
