#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "http/MessageTestSupport.h"

namespace vantor {
namespace {

using test::Fed;
using test::Feed;
using test::Make;

class AssemblyTest : public testing::Test {};

TEST_F(AssemblyTest, HeaderInTheFirstPieceGoesStraightToReadingBody) {
    auto request = Make<HTTPRequest>();
    EXPECT_EQ(request->state(), AssemblyState::New);
    Feed(*request, {"GET / HTTP/1.1\r\nHost: a\r\n\r\n"});
    EXPECT_EQ(request->state(), AssemblyState::ReadingBody);
    EXPECT_EQ(request->headerEnd(), 27);
}

TEST_F(AssemblyTest, TimesAndDetailLinesComeFromFirstAndLatestPieces) {
    auto response =
        std::make_unique<HTTPResponse>(true, 256, 5, test::PeerAt({192, 168, 10, 254}, 65535));
    EXPECT_EQ(response->peerText(), "IP: 192.168.10.254:65535");
    response->AddData(test::Bytes("HTTP/1.1 200 OK\r\n"), test::At(7, 5, 9, 42));
    response->AddData(test::Bytes("\r\n"), test::At(23, 59, 59, 999));
    EXPECT_EQ(response->firstTime(), test::At(7, 5, 9, 42));
    EXPECT_EQ(response->lastTime(), test::At(23, 59, 59, 999));
    EXPECT_EQ(response->timeText(), "Time: 07:05:09.042");
}

TEST_F(AssemblyTest, TimeTextFitsTheLargestFieldValues) {
    auto request = Make<HTTPRequest>();
    request->AddData(test::Bytes("x"), SystemTime{0, 0, 0, 0, 65535, 65535, 65535, 65535});
    EXPECT_EQ(request->timeText(), "Time: 65535:65535:65535.65535");
}

TEST_F(AssemblyTest, NulBytesBecomeSpacesAndOnlyNewBytesAreScanned) {
    auto request = Make<HTTPRequest>();
    using namespace std::string_view_literals;
    request->AddData(test::Bytes("GET /\0a"sv), {});
    EXPECT_EQ(request->text(), "GET / a");
    EXPECT_EQ(request->scanMark(), 6);
    request->AddData(test::Bytes("\0\0 HTTP/1.1\r\n\r\n\0"sv), {});
    EXPECT_EQ(request->text(), "GET / a   HTTP/1.1\r\n\r\n ");
    EXPECT_EQ(request->scanMark(), static_cast<std::int64_t>(request->text().size()) - 1);
}

// A binary body in pieces of every size around the 64 bytes looked at a time, with NUL bytes
// at block edges, in runs and alone: each shows as a space and comes back as it came.
TEST_F(AssemblyTest, NulBytesOfLongPiecesAreFoundWhereverTheyLie) {
    auto response = Make<HTTPResponse>();
    const std::string header = "HTTP/1.1 200 OK\r\n\r\n";
    response->AddData(test::Bytes(header), {});
    std::string body;
    std::uint32_t seed = 7;
    for (const std::size_t length : {1u, 63u, 64u, 65u, 127u, 128u, 300u, 2u}) {
        std::string piece(length, 'b');
        for (std::size_t i = 0; i < length; ++i) {
            seed = seed * 1103515245u + 12345u;
            if (i == 0 || i + 1 == length || i % 64 == 63 || (seed >> 16) % 5 == 0) {
                piece[i] = '\0';
            }
        }
        response->AddData(test::Bytes(piece), {});
        body += piece;
    }
    std::string shown = body;
    std::replace(shown.begin(), shown.end(), '\0', ' ');
    EXPECT_EQ(response->text(), header + shown);
    EXPECT_EQ(response->BytesAsTheyCame(header.size(), response->text().size()), body);
}

TEST_F(AssemblyTest, AnEmptyFirstPieceLeavesNoGapInTheNulScan) {
    auto request = Make<HTTPRequest>();
    request->AddData({}, {});
    EXPECT_EQ(request->state(), AssemblyState::ReadingHeader);
    EXPECT_EQ(request->text(), "");
    using namespace std::string_view_literals;
    request->AddData(test::Bytes("\0GET"sv), {});
    EXPECT_EQ(request->text(), " GET");
}

TEST_F(AssemblyTest, SizeLimitAppliesOnlyToTheBodyAfterAnAppend) {
    auto request = Make<HTTPRequest>(true, 1);
    const std::string header =
        "POST /upload HTTP/1.1\r\nHost: h\r\nX-Pad: " + std::string(57, 'p') + "\r\n\r\n";
    ASSERT_EQ(header.size(), 100u);
    const std::string piece(600, 'b');
    Feed(*request, {header, piece});
    EXPECT_EQ(request->state(), AssemblyState::ReadingBody);
    EXPECT_EQ(request->text().size(), 700u);
    Feed(*request, {piece});
    EXPECT_EQ(request->state(), AssemblyState::TooLarge);
    EXPECT_EQ(request->text().size(), 1300u) << "the piece that crossed the limit is kept";
    Feed(*request, {piece, piece});
    EXPECT_EQ(request->text().size(), 1300u);
    EXPECT_EQ(request->skipped(), 0) << "data dropped when too large are not counted";
}

TEST_F(AssemblyTest, AFirstPieceAboveTheLimitIsKeptWholeUntilTheNextPiece) {
    auto response = Make<HTTPResponse>(true, 1);
    const std::string whole = "HTTP/1.1 200 OK\r\n\r\n" + std::string(5000, 'x');
    Feed(*response, {whole});
    EXPECT_EQ(response->state(), AssemblyState::ReadingBody);
    Feed(*response, {"y"});
    EXPECT_EQ(response->state(), AssemblyState::TooLarge);
    EXPECT_EQ(response->text(), whole + "y");
}

TEST_F(AssemblyTest, LimitsOfFourGibibytesAndMoreDoNotWrapToSmallOnes) {
    // Kilobytes as the registry holds them (32 bits, read as signed), in bytes.
    EXPECT_EQ(Make<HTTPRequest>(true, 4'194'304)->maxSize(), 4'294'967'296u);
    EXPECT_EQ(Make<HTTPRequest>(true, INT32_MAX)->maxSize(), 2'147'483'647ull * 1024u);
    EXPECT_EQ(Make<HTTPRequest>(true, -1)->maxSize(), 4'294'967'295ull * 1024u);
    auto response = Make<HTTPResponse>(true, 4'194'304);
    Feed(*response, {"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n", "body"});
    EXPECT_EQ(response->state(), AssemblyState::ReadingBody) << "not too large";
}

TEST_F(AssemblyTest, AHeaderThatNeverEndsKeepsGrowingWithoutLimit) {
    auto request = Make<HTTPRequest>(true, 1);
    for (int i = 0; i < 50; ++i) {
        Feed(*request, {std::string(100, 'h') + "\r\n"});
    }
    EXPECT_EQ(request->state(), AssemblyState::ReadingHeader);
    EXPECT_EQ(request->text().size(), 5100u);
}

TEST_F(AssemblyTest, BodyCaptureOffCutsAndCountsTheBody) {
    const std::string header = "POST / HTTP/1.1\r\nContent-Type: text/plain\r\n\r\n";
    auto request = Fed<HTTPRequest>({header + "0123456789"}, false);
    EXPECT_EQ(request->state(), AssemblyState::BodyOff);
    EXPECT_EQ(request->text(), header);
    EXPECT_EQ(request->skipped(), 10);
    Feed(*request, {"abcde"});
    EXPECT_EQ(request->skipped(), 15);
    EXPECT_EQ(request->text(), header);

    auto single = Fed<HTTPRequest>({header + "0"}, false);
    EXPECT_EQ(single->state(), AssemblyState::BodyOff);
    EXPECT_EQ(single->text(), header + "0") << "a body of one byte is not cut";
    EXPECT_EQ(single->skipped(), 0);
}

TEST_F(AssemblyTest, SkippedCountStopsAtItsLargestValue) {
    auto response = Fed<HTTPResponse>({"HTTP/1.1 200 OK\r\n\r\n"}, false);
    const std::vector<std::uint8_t> piece(1 << 20);
    for (int i = 0; i < 2100; ++i) {  // a little over 2 GiB
        response->AddData(piece, {});
    }
    EXPECT_EQ(response->skipped(), INT32_MAX);
}

struct KeepBodyCase {
    const char* name;
    std::string allowedContent;
    std::int32_t wholeWord;
    std::string contentTypeLine;  // empty: no Content-Type field
    bool kept;
    friend void PrintTo(const KeepBodyCase& c, std::ostream* os) { *os << c.name; }
};

class KeepBodyTest : public testing::TestWithParam<KeepBodyCase> {};

TEST_P(KeepBodyTest, DecidesByTheAllowedContentList) {
    const KeepBodyCase& c = GetParam();
    AppPreferences preferences;
    preferences.allowed_content = c.allowedContent;
    preferences.whole_word_content = c.wholeWord;
    preferences.ParseContentTypes();
    const CaptureRules rules = CaptureRules::From(preferences);
    const std::string header = "HTTP/1.1 200 OK\r\n" + c.contentTypeLine + "\r\n";
    auto response = test::Make<HTTPResponse>();
    response->AddData(test::Bytes(header + "body bytes"), test::At(9, 30, 0, 0), rules);
    if (c.kept) {
        EXPECT_EQ(response->state(), AssemblyState::ReadingBody);
        EXPECT_EQ(response->skipped(), 0);
    } else {
        EXPECT_EQ(response->state(), AssemblyState::BodyFiltered);
        EXPECT_EQ(response->text(), header);
        EXPECT_EQ(response->skipped(), 10);
    }
}

const std::string kDefault(kDefaultAllowedContent);

INSTANTIATE_TEST_SUITE_P(
    Cases, KeepBodyTest,
    testing::Values(
        KeepBodyCase{"DefaultKeepsUntyped", kDefault, 0, "", true},
        KeepBodyCase{"DefaultKeepsEmptyType", kDefault, 0, "Content-Type:\r\n", true},
        KeepBodyCase{"DefaultKeepsHtml", kDefault, 0, "Content-Type: text/html\r\n", true},
        KeepBodyCase{"DefaultKeepsScripts", kDefault, 0,
                     "Content-Type: application/x-javascript\r\n", true},
        KeepBodyCase{"DefaultKeepsForms", kDefault, 0,
                     "Content-Type: application/x-www-form-urlencoded\r\n", true},
        KeepBodyCase{"DefaultCutsImages", kDefault, 0, "Content-Type: image/png\r\n", false},
        KeepBodyCase{"DefaultCutsJson", kDefault, 0, "Content-Type: application/json\r\n", false},
        KeepBodyCase{"MatchIgnoresCase", kDefault, 0, "Content-Type: TEXT/Plain\r\n", true},
        KeepBodyCase{"OnlyEmptyWordKeepsUntyped", R"("")", 0, "", true},
        KeepBodyCase{"OnlyEmptyWordCutsHtml", R"("")", 0, "Content-Type: text/html\r\n", false},
        KeepBodyCase{"NoEmptyWordCutsUntyped", R"("text/")", 0, "", false},
        KeepBodyCase{"WholeWordCutsHtmlForTextSlash", R"("text/")", 1,
                     "Content-Type: text/html\r\n", false},
        KeepBodyCase{"WholeWordKeepsExactType", R"("text/html")", 1, "Content-Type: text/html\r\n",
                     true},
        KeepBodyCase{"WholeWordIsNotAPrefixTest", R"("text/html")", 1,
                     "Content-Type: text/html; charset=utf-8\r\n", false}),
    test::CaseName());

// However the bytes are cut into pieces, a message whose body is kept ends up the same.
struct Snapshot {
    AssemblyState state;
    std::string text;
    std::map<std::string, std::string> headers;
    std::int64_t headerEnd;
    std::string caption;
    std::uint32_t statusCode;
    ContentClass contentClass;

    friend bool operator==(const Snapshot&, const Snapshot&) = default;
};

Snapshot Take(const HTTPResponse& r) {
    return {r.state(),       std::string(r.text()), test::FieldsOf(r.headers()),
            r.headerEnd(),   r.caption(),           r.statusCode(),
            r.contentClass()};
}

struct WholeResponse {
    const char* name;
    std::string bytes;
    friend void PrintTo(const WholeResponse& r, std::ostream* os) { *os << r.name; }
};

class SplitInvarianceTest : public testing::TestWithParam<WholeResponse> {};

TEST_P(SplitInvarianceTest, WholeByteByByteAndEveryCutGiveTheSameMessage) {
    const std::string& whole = GetParam().bytes;
    auto reference = Make<HTTPResponse>();
    Feed(*reference, {whole});
    reference->BuildCaption();
    const Snapshot expected = Take(*reference);

    auto bytewise = Make<HTTPResponse>();
    for (char c : whole) {
        bytewise->AddData(test::Bytes(std::string_view(&c, 1)), {});
    }
    bytewise->BuildCaption();
    EXPECT_EQ(Take(*bytewise), expected) << "byte by byte";

    for (std::size_t cut = 0; cut <= whole.size(); ++cut) {
        auto split = Make<HTTPResponse>();
        Feed(*split, {std::string_view(whole).substr(0, cut), std::string_view(whole).substr(cut)});
        split->BuildCaption();
        ASSERT_EQ(Take(*split), expected) << "cut at " << cut;
    }
}

TEST_P(SplitInvarianceTest, TheEndOfTheHeaderIsFoundInTheNextPieceWhereverTheCut) {
    const std::string& whole = GetParam().bytes;
    auto reference = Make<HTTPResponse>();
    Feed(*reference, {whole});
    const std::int64_t headerEnd = reference->headerEnd();
    ASSERT_GT(headerEnd, 0);
    for (std::size_t cut = 0; cut <= whole.size(); ++cut) {
        auto split = Make<HTTPResponse>();
        Feed(*split, {std::string_view(whole).substr(0, cut)});
        const auto end = split->HeaderEndIn(test::Bytes(std::string_view(whole).substr(cut)));
        if (static_cast<std::int64_t>(cut) >= headerEnd) {
            EXPECT_EQ(end, std::nullopt) << "complete at cut " << cut;
        } else {
            ASSERT_TRUE(end.has_value()) << "cut at " << cut;
            EXPECT_EQ(static_cast<std::int64_t>(cut + *end), headerEnd) << "cut at " << cut;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Responses, SplitInvarianceTest,
    testing::Values(
        WholeResponse{"CrLf",
                      "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n"
                      "Content-Length: 11\r\n\r\n<p>hi</p>\r\n"},
        WholeResponse{"BareLf", "HTTP/1.0 404 Not Found\nContent-Type: text/plain\n\nmissing\n\n"},
        WholeResponse{"CrCrLfThenBareLf",
                      "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\r\n\nbody\r\n\r\n"},
        WholeResponse{
            "TwoInOne",
            "HTTP/1.1 100 Continue\r\nContent-Type: text/plain\r\n\r\nHTTP/1.1 200 OK\r\n\r\n"},
        WholeResponse{"NoBody",
                      "HTTP/1.1 302 Found\r\nLocation: /x\r\nContent-Type: text/html\r\n\r\n"},
        WholeResponse{"NulBytesAndSecondBlankLine",
                      std::string("HTTP/1.1 500 Oops\r\nContent-Type: text/plain\r\n\r\n"
                                  "\0\0\r\n\r\n",
                                  53)}),
    test::CaseName());

}  // namespace
}  // namespace vantor
