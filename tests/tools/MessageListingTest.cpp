#include "tools/dump/MessageListing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "TestSupport.h"
#include "capture/CaptureDispatch.h"
#include "capture/RecordReplay.h"
#include "document/CSnifferDoc.h"
#include "tools/dump/ListingView.h"
#include "tools/dump/LiveListingView.h"

namespace vantor {
namespace {

using test::Bytes;
using test::Header;

TEST(EscapeFieldTest, KeepsEveryFieldOnOneLineAndColumn) {
    using namespace std::string_view_literals;
    EXPECT_EQ(EscapeField("plain text / 200 OK"), "plain text / 200 OK");
    EXPECT_EQ(EscapeField("a\\b\tc\rd\ne"), "a\\\\b\\tc\\rd\\ne");
    EXPECT_EQ(EscapeField("\x01\x1f\x7f\x80\xff"sv), "\\x01\\x1f\\x7f\\x80\\xff");
    EXPECT_EQ(EscapeField("\0"sv), "\\x00");
}

class MessageListingTest : public testing::Test {
protected:
    MessageListingTest() { document.AddView(&view); }

    std::string Listing(ListingFormat format) {
        std::ostringstream out;
        WriteListing(out, document, format);
        return out.str();
    }

    test::ScopedDefaultOptions options;
    CSnifferDoc document;
    ListingView view;
};

TEST_F(MessageListingTest, TsvHasElevenColumnsPerMessage) {
    auto header = Header(1, 0, 41);
    header.peerAddress = test::PeerAt({10, 1, 2, 3}, 443);
    document.NewRequest(header, Bytes("GET /a\tb HTTP/1.1\r\nHost: h\r\n\r\n"));
    header.direction = 2;
    header.previousDirection = 1;
    document.NewResponse(header, Bytes("HTTP/1.1 200 OK\r\nContent-Type: image/png\r\n\r\nPNG"));
    document.NewResponse(Header(2, 1, 77), Bytes("HTTP/1.1 5"));

    EXPECT_EQ(Listing(ListingFormat::Tsv),
              "0\tREQ\t41\t10.1.2.3:443\tReadingBody\tGET h/a\\tb\tGET\th/a\\tb\t0\t30\t-\n"
              "1\tRES\t41\t10.1.2.3:443\tBodyFiltered\t200 OK\t200\tImage\t3\t44\t0\n"
              "2\tRES\t77\t127.0.0.1:8080\tReadingHeader\t5\t0\tWithoutContent\t0\t10\t-\n");
}

TEST_F(MessageListingTest, TextFormatShowsWhereWhatAndHowMuch) {
    document.NewRequest(Header(1, 0, 5), Bytes("GET / HTTP/1.1\r\nHost: h\r\n\r\n"));
    document.NewResponse(Header(2, 1, 5), Bytes("HTTP/1.1 404 Not Found\r\n\r\nxy"));
    const std::string listing = Listing(ListingFormat::Text);
    EXPECT_NE(listing.find("    0  REQ  09:00:00.000  127.0.0.1:8080         conn 5           "
                           "ReadingBody    GET h/  [27 bytes]\n"),
              std::string::npos)
        << listing;
    EXPECT_NE(listing.find("404 Not Found  [Other, 28 bytes]  answers 0\n"), std::string::npos)
        << listing;
}

TEST_F(MessageListingTest, CaptionsFollowTheTreeRules) {
    // A caption is built when the message appears and when it changes; a header that never
    // completes keeps the first line it had, until a rebuild.
    document.NewRequest(Header(1, 0, 5), Bytes("GET /lo"));
    document.AppendRequest(Header(1, 1, 5), Bytes("ng HTTP/1.1\r\nHost: h\r\n"));
    document.NewResponse(Header(2, 1, 6), Bytes("HTTP/1.1 404 Not"));
    document.AppendResponse(Header(2, 2, 6), Bytes(" Found\r\n\r\n"));
    const HTTPMessage& request = *document.messages()[0];
    const HTTPMessage& response = *document.messages()[1];
    EXPECT_EQ(request.caption(), "GET /lo");
    EXPECT_EQ(response.caption(), "404 Not Found") << "rebuilt when its header completed";
    EXPECT_FALSE(response.IsCaptionChanged()) << "lowered as the tree's update does";

    document.UpdateAllViews(nullptr, HINT_REBUILD, nullptr);
    EXPECT_EQ(request.caption(), "GET /long HTTP/1.1");
}

}  // namespace
}  // namespace vantor

namespace vantor {
namespace {

// The live listing of the sample capture, with a document that keeps everything and with one
// that keeps only open exchanges: the same lines, and the second holds at the end only what
// was still open.
TEST(LiveListingTest, ForgettingEndedExchangesListsTheSameLines) {
    test::ScopedDefaultOptions options;
    std::string listings[2];
    std::size_t remembered[2] = {};
    for (const bool keepAll : {true, false}) {
        CSnifferDoc document;
        std::ostringstream out;
        LiveListingView view(out, ListingFormat::Tsv);
        document.AddView(&view);
        if (!keepAll) {
            document.KeepOpenExchangesOnly();
        }
        CaptureDispatch dispatch([&document] { return &document; });
        std::ifstream records(std::string(VANTOR_SOURCE_DIR) + "/samples/sample.records",
                              std::ios::binary);
        ASSERT_EQ(ReplayRecordStream(records, dispatch).status, RecordStreamReader::Status::End);
        remembered[keepAll ? 0 : 1] = view.remembered();
        view.Finish();
        listings[keepAll ? 0 : 1] = out.str();
    }
    EXPECT_GT(std::count(listings[0].begin(), listings[0].end(), '\n'), 10);
    EXPECT_EQ(listings[1], listings[0]);
    EXPECT_LT(remembered[1], remembered[0]);
}

}  // namespace
}  // namespace vantor
