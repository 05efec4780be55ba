#include "tools/dump/MessageListing.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

#include "TestSupport.h"
#include "capture/CaptureDispatch.h"
#include "capture/RecordReplay.h"
#include "document/CSnifferDoc.h"
#include "document/ExchangeQuery.h"
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
    header.direction = Direction::Received;
    header.previousDirection = Direction::Sent;
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

// Each line of a JSON lines listing, parsed.
std::vector<nlohmann::json> JsonLines(const std::string& listing) {
    std::vector<nlohmann::json> objects;
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);) {
        objects.push_back(nlohmann::json::parse(line));
    }
    return objects;
}

TEST_F(MessageListingTest, JsonLinesCarryOneObjectPerMessageWithPairsBothWays) {
    auto header = Header(1, 0, 41);
    header.peerAddress = test::PeerAt({10, 1, 2, 3}, 443);
    document.NewRequest(header, Bytes("POST /a\xff HTTP/1.1\r\nHost: h\r\nX-Case: V\r\n\r\nq=1"));
    header.direction = Direction::Received;
    header.previousDirection = Direction::Sent;
    document.NewResponse(header,
                         Bytes("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n\x89PNG"));
    document.NewResponse(Header(2, 1, 77), Bytes("HTTP/1.1 5"));

    std::ostringstream out;
    WriteListing(out, document, ListingFormat::Jsonl, true);
    const auto objects = JsonLines(out.str());
    ASSERT_EQ(objects.size(), 3u);
    const auto& request = objects[0];
    EXPECT_EQ(request["index"], 0);
    EXPECT_EQ(request["kind"], "request");
    EXPECT_EQ(request["connection"], 41);
    EXPECT_EQ(request["peer"], "10.1.2.3:443");
    EXPECT_EQ(request["method"], "POST");
    EXPECT_EQ(request["target"], "h/a\xef\xbf\xbd") << "a byte that is not UTF-8 is replaced";
    EXPECT_EQ(request["pair"], 1);
    EXPECT_EQ(request["headers"], nlohmann::json::parse(R"([["Host","h"],["X-Case","V"]])"));
    EXPECT_EQ(request["body"], "q=1");
    EXPECT_FALSE(request.contains("bodyEncoding"));
    EXPECT_EQ(request["headerSize"].get<int>() + request["bodySize"].get<int>(),
              request["size"].get<int>());
    EXPECT_EQ(request["time"].get<std::string>().substr(0, 23), "2026-12-08T09:00:00.000");

    const auto& response = objects[1];
    EXPECT_EQ(response["kind"], "response");
    EXPECT_EQ(response["status"], 200);
    EXPECT_EQ(response["contentClass"], "Text");
    EXPECT_EQ(response["pair"], 0);
    EXPECT_EQ(response["body"], "iVBORw==");
    EXPECT_EQ(response["bodyEncoding"], "base64");

    const auto& unpaired = objects[2];
    EXPECT_TRUE(unpaired["pair"].is_null());
    EXPECT_EQ(unpaired["state"], "ReadingHeader");
    EXPECT_EQ(unpaired["bodySize"], 0);
    EXPECT_EQ(unpaired["headerSize"], 10);

    std::ostringstream withoutBodies;
    WriteListing(withoutBodies, document, ListingFormat::Jsonl);
    EXPECT_FALSE(JsonLines(withoutBodies.str())[0].contains("body"));
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

// The live listing of the sample capture and more, with a document that keeps everything, with
// one that keeps only open exchanges and with one that also only counts body bytes: the same
// lines (states and sizes included, with a size limit that a body passes, listed as each
// message's header completes or, in an order of their own, as it ends), and the second holds at the end only what was
// still open.
TEST(LiveListingTest, ForgettingEndedExchangesAndCountingBodiesListsTheSameLines) {
    enum class Keep { All, OpenOnly, CountingBodies };
    for (const auto& [format, whenEnded] :
         {std::pair{ListingFormat::Tsv, false}, std::pair{ListingFormat::Jsonl, false},
          std::pair{ListingFormat::Tsv, true}}) {
        test::ScopedDefaultOptions options;
        Preferences().max_res_size = 2;  // kilobytes
        std::map<Keep, std::string> listings;
        std::map<Keep, std::size_t> remembered;
        for (const Keep keep : {Keep::All, Keep::OpenOnly, Keep::CountingBodies}) {
            CSnifferDoc document;
            document.SetCaptureRules(CaptureRules::From(Preferences()));
            std::ostringstream out;
            LiveListingView view(out, format, false, whenEnded);
            document.AddView(&view);
            if (keep != Keep::All) {
                document.KeepOpenExchangesOnly();
            }
            if (keep == Keep::CountingBodies) {
                document.CountBodiesOnly();
            }
            CaptureDispatch dispatch([&document] { return &document; });
            std::ifstream records(std::string(VANTOR_SOURCE_DIR) + "/samples/sample.records",
                                  std::ios::binary);
            ASSERT_EQ(ReplayRecordStream(records, dispatch).status,
                      RecordStreamReader::Status::End);
            // Bodies that begin with the header or after it, one that passes the limit.
            const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n";
            for (const std::uint32_t connection : {900u, 901u}) {
                document.NewRequest(Header(1, 0, connection), Bytes("GET / HTTP/1.1\r\n\r\n"));
                document.NewResponse(Header(2, 1, connection),
                                     Bytes(connection == 900 ? head + std::string("x\0y", 3) : head));
                for (const std::size_t length : {1000u, 900u, 1200u}) {
                    document.AppendResponse(Header(2, 2, connection),
                                            Bytes(std::string(length, 'z')));
                }
            }
            remembered[keep] = view.remembered();
            view.Finish();
            // Listed as they end, lines come in another order than in a document that keeps all.
            std::vector<std::string> lines;
            for (std::istringstream in(out.str()); std::getline(in, lines.emplace_back());) {
            }
            std::sort(lines.begin(), lines.end());
            for (const auto& line : lines) {
                listings[keep] += line + "\n";
            }
        }
        EXPECT_GT(std::count(listings[Keep::All].begin(), listings[Keep::All].end(), '\n'), 10);
        EXPECT_EQ(listings[Keep::All].find("TooLarge") != std::string::npos, whenEnded);
        EXPECT_EQ(listings[Keep::OpenOnly], listings[Keep::All]);
        EXPECT_EQ(listings[Keep::CountingBodies], listings[Keep::All]);
        EXPECT_LT(remembered[Keep::OpenOnly], remembered[Keep::All]);
    }
}

// With bodies, a live listing waits for each message to end, so that its body is whole.
TEST(LiveListingTest, WithBodiesAMessageIsListedWhenItHasEnded) {
    test::ScopedDefaultOptions options;
    CSnifferDoc document;
    document.KeepOpenExchangesOnly();
    std::ostringstream out;
    LiveListingView view(out, ListingFormat::Jsonl, true);
    document.AddView(&view);
    document.NewRequest(Header(1, 0, 3), Bytes("GET /a HTTP/1.1\r\nHost: h\r\n\r\n"));
    document.NewResponse(Header(2, 1, 3), Bytes("HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nhel"));
    EXPECT_EQ(out.str(), "") << "the header alone is not enough";
    document.AppendResponse(Header(2, 2, 3), Bytes("lo!"));
    document.NewRequest(Header(1, 2, 3), Bytes("GET /b HTTP/1.1\r\nHost: h\r\n\r\n"));
    const auto objects = JsonLines(out.str());
    ASSERT_EQ(objects.size(), 2u) << "the next request ends the exchange before it";
    EXPECT_EQ(objects[1]["body"], "hello!");
    view.Finish();
    EXPECT_EQ(JsonLines(out.str()).size(), 3u);
}

// A filtered live listing decides an exchange once its response's head has come (once it has
// ended for a term on sizes), and lists its messages then or never; so does the whole listing.
TEST(LiveListingTest, AFilteredListingListsTheExchangesItPassesOnceItCanTell) {
    struct Case {
        std::string_view query;
        std::vector<std::size_t> atHead;  // listed once every response's head came
        std::vector<std::size_t> atEnd;   // and at the end
    };
    const Case cases[] = {
        {"status:404", {2, 3}, {2, 3}},
        {"-status:404 method:GET", {0, 1, 4, 5}, {0, 1, 4, 5, 6}},  // 6 never had an answer
        {"size>100", {}, {4, 5}},
    };
    for (const Case& c : cases) {
        test::ScopedDefaultOptions options;
        CSnifferDoc document;
        std::ostringstream out;
        LiveListingView view(out, ListingFormat::Tsv);
        const ExchangeQuery query = std::get<ExchangeQuery>(ExchangeQuery::Parse(c.query));
        view.SetQuery(&query);
        document.AddView(&view);
        const auto listed = [&out] {
            std::vector<std::size_t> indexes;
            for (std::istringstream in(out.str()); in.peek() != EOF;) {
                std::string line;
                std::getline(in, line);
                indexes.push_back(std::stoul(line));
            }
            std::sort(indexes.begin(), indexes.end());
            return indexes;
        };
        for (const auto& [connection, status, body] :
             {std::tuple{1u, 200, std::string()}, std::tuple{2u, 404, std::string()},
              std::tuple{3u, 200, std::string(100, 'x')}}) {
            const std::vector<std::size_t> before = listed();
            document.NewRequest(Header(1, 0, connection), Bytes("GET / HTTP/1.1\r\n\r\n"));
            EXPECT_EQ(listed(), before) << c.query << ": a request waits for its answer";
            document.NewResponse(
                Header(2, 1, connection),
                Bytes("HTTP/1.1 " + std::to_string(status) +
                      " X\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n"));
            if (!body.empty()) {
                document.AppendResponse(Header(2, 2, connection), Bytes(body));
            }
        }
        document.NewRequest(Header(1, 0, 4), Bytes("GET /never HTTP/1.1\r\n\r\n"));
        EXPECT_EQ(listed(), c.atHead) << c.query;
        view.Finish();
        EXPECT_EQ(listed(), c.atEnd) << c.query;
        std::ostringstream whole;
        WriteListing(whole, document, ListingFormat::Tsv, false, &query);
        out.str(whole.str());
        EXPECT_EQ(listed(), c.atEnd) << c.query << ": the whole listing";
    }
}

}  // namespace
}  // namespace vantor
