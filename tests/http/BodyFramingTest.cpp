// Where a request's body ends by its own framing, whatever the pieces it comes in.
#include "http/BodyFraming.h"

#include <gtest/gtest.h>

#include <string>

#include "http/MessageTestSupport.h"

namespace vantor {
namespace {

struct Case {
    const char* name;
    std::string header;
    std::string rest;     // what follows the header: the body, then whatever follows it
    std::size_t body;     // how much of rest is the body
    bool framed = true;   // false: the end is not known
};

class BodyFramingTest : public testing::TestWithParam<Case> {};

// Takes rest through a request with this header, in pieces cut at the given positions; how much
// the request's body took.
std::size_t Taken(const Case& c, const std::vector<std::size_t>& cuts, BodyFraming& framing) {
    auto request = test::Make<HTTPRequest>();
    request->AddData(test::Bytes(c.header), test::At(9, 0, 0, 0));
    framing = request->framing();
    std::size_t taken = 0;
    std::size_t from = 0;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        const std::size_t to = i < cuts.size() ? cuts[i] : c.rest.size();
        const auto piece = test::Bytes(std::string_view(c.rest).substr(from, to - from));
        const std::size_t measured = framing.Measure(piece);
        const std::size_t took = framing.Take(piece);
        EXPECT_EQ(measured, took) << "measuring takes nothing";
        taken += took;
        from = to;
    }
    return taken;
}

TEST_P(BodyFramingTest, TheBodyEndsWhereItsFramingSaysWhateverThePieces) {
    const Case& c = GetParam();
    BodyFraming whole;
    EXPECT_EQ(Taken(c, {}, whole), c.framed ? c.body : c.rest.size());
    EXPECT_EQ(whole.Framed(), c.framed);
    EXPECT_EQ(whole.Ended(), c.framed);
    std::vector<std::size_t> bytewise;
    for (std::size_t i = 1; i < c.rest.size(); ++i) {
        bytewise.push_back(i);
    }
    BodyFraming framing;
    EXPECT_EQ(Taken(c, bytewise, framing), whole.Framed() ? c.body : c.rest.size());
    for (std::size_t cut = 0; cut <= c.rest.size(); ++cut) {
        EXPECT_EQ(Taken(c, {cut}, framing), whole.Framed() ? c.body : c.rest.size()) << cut;
        EXPECT_EQ(framing.Ended(), c.framed) << cut;
    }
}

const std::string kNext = "GET /next HTTP/1.1\r\n\r\n";

INSTANTIATE_TEST_SUITE_P(
    Bodies, BodyFramingTest,
    testing::Values(
        Case{"length", "POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\n", "hello" + kNext, 5},
        Case{"repeated_length", "POST / HTTP/1.1\r\nContent-Length: 3, 3\r\n\r\n", "abc" + kNext,
             3},
        Case{"no_body", "POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n", kNext, 0},
        Case{"chunks", "POST / HTTP/1.1\r\nTransfer-Encoding: gzip, Chunked\r\n\r\n",
             "3;ext=1\r\nabc\r\nA\r\n0123456789\r\n0\r\n\r\n" + kNext, 34},
        Case{"trailers_and_bare_line_feeds",
             "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n",
             "2\nab\n0\nX-Check: 1\r\nY: 2\n\n" + kNext, 25},
        Case{"no_framing", "GET / HTTP/1.1\r\n\r\n", kNext, 0, false},
        Case{"unknown_coding", "POST / HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n", "x", 0,
             false},
        Case{"conflicting_lengths", "POST / HTTP/1.1\r\nContent-Length: 3, 4\r\n\r\n", "abcd", 0,
             false},
        Case{"http2_text", "POST / HTTP/2\r\ncontent-length: 1\r\n\r\n", "ab", 0, false}),
    [](const testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace vantor
