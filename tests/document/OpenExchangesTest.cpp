// A document that keeps only the exchanges still open (a capture that lists and forgets): each
// exchange ends when the next request of its connection begins, or its HTTP/2 stream ends, or
// too many connections are open; views hear of the end, and memory stays bounded.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "RecordFeeder.h"
#include "TestSupport.h"
#include "capture/CaptureDispatch.h"
#include "document/CSnifferDoc.h"
#include "protocol/Http2Decoder.h"
#include "support/Http2FrameWriter.h"

namespace vantor {
namespace {

// Follows which messages the document holds, from its hints alone.
class HeldView : public CView {
public:
    void OnUpdate(CView*, std::intptr_t hint, CObject* object) override {
        auto* message = dynamic_cast<HTTPMessage*>(object);
        if (message == nullptr) {
            return;
        }
        if (hint == HINT_NEW_REQUEST || hint == HINT_NEW_RESPONSE) {
            held.emplace(message, std::string(message->text()));
            ++made;
        } else if (hint == HINT_ENDED) {
            ASSERT_TRUE(held.contains(message));
            ended.push_back(std::string(message->text()));
        } else if (hint == HINT_DROPPED) {
            ASSERT_EQ(held.erase(message), 1u);
        } else {
            ASSERT_TRUE(held.contains(message)) << "a dropped message changed";
        }
    }
    std::map<const HTTPMessage*, std::string> held;
    std::vector<std::string> ended;
    std::size_t made = 0;
};

class OpenExchangesTest : public testing::Test {
protected:
    OpenExchangesTest() {
        document.AddView(&view);
        document.KeepOpenExchangesOnly();
    }

    void Record(std::uint32_t connection, Direction direction, std::string_view bytes) {
        feeder.Record(connection, direction, bytes);
    }

    CSnifferDoc document;
    HeldView view;
    test::RecordFeeder feeder{document};
};

TEST_F(OpenExchangesTest, AnExchangeEndsWhenTheNextRequestOfItsConnectionBegins) {
    Record(1, Direction::Sent, "POST /a HTTP/1.1\r\nExpect: 100-continue\r\n\r\n");
    Record(1, Direction::Received, "HTTP/1.1 100 Continue\r\n\r\n");
    Record(1, Direction::Sent, "body");  // still the request: it waited for the 100
    Record(2, Direction::Sent, "GET /other HTTP/1.1\r\n\r\n");
    Record(1, Direction::Received, "HTTP/1.1 200 OK\r\n\r\nfirst");
    Record(1, Direction::Received, " answer");
    EXPECT_TRUE(view.ended.empty());
    Record(1, Direction::Sent, "GET /b HTTP/1.1\r\n\r\n");
    EXPECT_THAT(view.ended,
                testing::ElementsAre("POST /a HTTP/1.1\r\nExpect: 100-continue\r\n\r\nbody",
                                     "HTTP/1.1 100 Continue\r\n\r\n",
                                     "HTTP/1.1 200 OK\r\n\r\nfirst answer"));
    EXPECT_EQ(view.held.size(), 2u) << "GET /other and GET /b";
    EXPECT_TRUE(document.messages().empty());
    EXPECT_EQ(document.LatestResponse(1), nullptr);
    // The new exchange pairs as ever.
    Record(1, Direction::Received, "HTTP/1.1 204 No Content\r\n\r\n");
    ASSERT_NE(document.LatestRequest(1), nullptr);
    EXPECT_EQ(document.LatestRequest(1)->response(), document.LatestResponse(1));
}

TEST_F(OpenExchangesTest, ManyConnectionsAndHttp2StreamsStayWithinBounds) {
    // Connections that end without a word: the ones unused longest are let go.
    for (std::uint32_t c = 1; c <= CSnifferDoc::kMostOpenConnections + 500; ++c) {
        Record(c, Direction::Sent, "GET / HTTP/1.1\r\n\r\n");
        Record(c, Direction::Received, "HTTP/1.1 200 OK\r\n\r\n");
    }
    EXPECT_EQ(view.held.size(), 2 * CSnifferDoc::kMostOpenConnections);
    EXPECT_EQ(document.LatestRequest(1), nullptr) << "the oldest connection was let go";
    ASSERT_NE(document.LatestRequest(CSnifferDoc::kMostOpenConnections + 500), nullptr);

    // Each HTTP/2 stream ends with its stream.
    Http2FrameWriter client;
    Http2FrameWriter server;
    const std::uint32_t h2 = 900'000;
    Record(h2, Direction::Sent,
           std::string(Http2Decoder::kPreface) + Http2FrameWriter::Settings({}));
    const std::size_t before = view.held.size();
    for (std::uint32_t stream = 1; stream < 2000; stream += 2) {
        Record(h2, Direction::Sent,
               client.Headers(stream, {{":method", "GET"}, {":path", "/s"}}, true));
        Record(h2, Direction::Received,
               Http2FrameWriter::Join({server.Headers(stream, {{":status", "200"}}, false),
                                       Http2FrameWriter::Data(stream, "ok", true)}));
    }
    EXPECT_LE(view.held.size(), before) << "finished streams are not held";
    EXPECT_EQ(view.made, 2 * (CSnifferDoc::kMostOpenConnections + 500) + 2000);
}

TEST_F(OpenExchangesTest, TheTextsOfOpenExchangesStayWithinTheBudget) {
    const std::string body(1 << 20, 'b');
    for (std::uint32_t c = 1; c <= 100; ++c) {
        Record(c, Direction::Sent, "GET /f HTTP/1.1\r\n\r\n");
        Record(c, Direction::Received, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n");
        Record(c, Direction::Received, body);
    }
    std::size_t held = 0;
    for (const auto& entry : view.held) {
        held += entry.first->text().size();
    }
    EXPECT_LE(held, CSnifferDoc::kOpenBytesBudget + body.size());
    EXPECT_GE(held, CSnifferDoc::kOpenBytesBudget / 2);
    EXPECT_NE(document.LatestResponse(100), nullptr) << "the newest is kept";
}

}  // namespace
}  // namespace vantor
