// Interim responses (100 Continue, 103 Early Hints): the request they answer goes on after them,
// and the response after them is the one paired with it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "document/CSnifferDoc.h"
#include "framework/ByteStreams.h"
#include "framework/CArchive.h"

namespace vantor {
namespace {

using test::Bytes;
using test::Header;
using testing::ElementsAre;

constexpr std::string_view kUploadHeader =
    "POST /upload HTTP/1.1\r\nHost: h\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\n";
constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
constexpr std::string_view kEarlyHints = "HTTP/1.1 103 Early Hints\r\nLink: </a.css>\r\n\r\n";
constexpr std::string_view kOk = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\ndone";

class InterimResponseTest : public testing::Test {
protected:
    // Records as capture hands them over: the entry point follows from the directions.
    void Sent(std::string_view data) { Record(Direction::Sent, data); }
    void Received(std::string_view data) { Record(Direction::Received, data); }
    void Record(Direction direction, std::string_view data) {
        const CaptureRecord header = Header(direction, m_previous, 3);
        if (direction == Direction::Sent) {
            m_previous == Direction::Sent ? document.AppendRequest(header, Bytes(data))
                                         : document.NewRequest(header, Bytes(data));
        } else {
            m_previous == Direction::Received ? document.AppendResponse(header, Bytes(data))
                                             : document.NewResponse(header, Bytes(data));
        }
        m_previous = direction;
    }
    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const auto& message : document.messages()) {
            texts.emplace_back(message->text());
        }
        return texts;
    }
    // The document as a saved file reads back.
    void SaveAndLoad() {
        MemoryByteSink sink;
        CArchive store(sink);
        document.Serialize(store);
        MemoryByteSource source(sink.bytes());
        CArchive load(source);
        document.Serialize(load);
    }

    CSnifferDoc document;
    Direction m_previous = Direction::None;
};

TEST_F(InterimResponseTest, TheBodySentAfter100ContinueStaysInItsRequest) {
    Sent(kUploadHeader);
    Received(kContinue);
    Sent("data");
    Received(kOk);
    Sent("GET /next HTTP/1.1\r\n\r\n");
    Received(kOk);

    EXPECT_THAT(Texts(), ElementsAre(std::string(kUploadHeader) + "data", kContinue, kOk,
                                     "GET /next HTTP/1.1\r\n\r\n", kOk));
    for (const bool loaded : {false, true}) {
        if (loaded) {
            SaveAndLoad();
        }
        ASSERT_EQ(document.requests().size(), 2u) << loaded;
        ASSERT_EQ(document.responses().size(), 3u) << loaded;
        HTTPRequest* upload = document.requests()[0];
        EXPECT_EQ(upload->response(), document.responses()[1]) << "the final response";
        EXPECT_THAT(upload->interimResponses(), ElementsAre(document.responses()[0]));
        EXPECT_EQ(document.responses()[0]->request(), upload) << "answers the same request";
        EXPECT_EQ(document.requests()[1]->response(), document.responses()[2]);
    }
}

TEST_F(InterimResponseTest, ResponsesInOneRecordAreSplitAfterEachInterimHeader) {
    Sent(kUploadHeader);
    Received(std::string(kContinue) + std::string(kEarlyHints) + std::string(kOk));
    EXPECT_THAT(Texts(), ElementsAre(kUploadHeader, kContinue, kEarlyHints, kOk));
    const HTTPRequest* request = document.requests()[0];
    EXPECT_EQ(request->response(), document.responses()[2]);
    EXPECT_THAT(request->interimResponses(),
                ElementsAre(document.responses()[0], document.responses()[1]));
    EXPECT_EQ(document.responses()[1]->statusCode(), 103u);
    EXPECT_EQ(document.responses()[2]->statusCode(), 200u);
}

TEST_F(InterimResponseTest, AnInterimResponseEndsWhereverTheRecordsAreCut) {
    const std::string received = std::string(kContinue) + std::string(kOk);
    for (std::size_t cut = 1; cut < received.size(); ++cut) {
        document.OnNewDocument();
        m_previous = Direction::None;
        Sent(kUploadHeader);
        Received(received.substr(0, cut));
        Received(received.substr(cut));
        ASSERT_THAT(Texts(), ElementsAre(kUploadHeader, kContinue, kOk)) << "cut at " << cut;
        EXPECT_EQ(document.requests()[0]->response(), document.responses()[1]) << cut;
    }
}

TEST_F(InterimResponseTest, ManyInterimResponsesInOneRecordAreManyMessages) {
    std::string many;
    for (int i = 0; i < 20000; ++i) {
        many += kContinue;
    }
    Sent(kUploadHeader);
    Received(many + std::string(kOk));
    EXPECT_EQ(document.responses().size(), 20001u);
    EXPECT_EQ(document.requests()[0]->response(), document.responses().back());
}

TEST_F(InterimResponseTest, SwitchingProtocolsIsNotInterim) {
    Sent("GET /chat HTTP/1.1\r\nUpgrade: websocket\r\n\r\n");
    Received("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\nframe");
    Sent("frame");
    EXPECT_EQ(document.responses().size(), 1u);
    EXPECT_EQ(document.responses()[0]->text(),
              "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\nframe");
    EXPECT_EQ(document.requests().size(), 2u) << "what follows is not the request any more";
}

TEST_F(InterimResponseTest, AFinalResponseIsNeverReplaced) {
    Sent("GET / HTTP/1.1\r\n\r\n");
    Received(kOk);
    Received(kContinue);  // an answer appended to a final response: part of its body
    EXPECT_EQ(document.responses().size(), 1u);
    Sent("more");
    EXPECT_EQ(document.requests().size(), 2u);
}

// A server may answer before the request's body arrived (an upload refused early, Java's
// HttpClient): the bytes the body's framing still expects continue the request, whatever came
// between, and what follows its end is the next request.
TEST_F(InterimResponseTest, ABodyItsFramingStillExpectsContinuesTheRequest) {
    constexpr std::string_view kRefused = "HTTP/1.1 413 Too Large\r\nContent-Length: 0\r\n\r\n";
    struct Step {
        Direction direction;
        std::string_view bytes;
    };
    struct Case {
        const char* name;
        bool keepBody;
        std::vector<Step> steps;
        std::vector<std::string> texts;
        std::int32_t firstSkipped = 0;
    };
    const std::vector<Case> cases = {
        {"a length, the next request on its own",
         true,
         {{Direction::Sent, "POST /a HTTP/1.1\r\nContent-Length: 14\r\n\r\n"},
          {Direction::Received, kRefused},
          {Direction::Sent, "NAME=VALUE&I=0"},
          {Direction::Sent, "POST /b HTTP/1.1\r\nContent-Length: 1\r\n\r\nx"},
          {Direction::Received, kOk}},
         {"POST /a HTTP/1.1\r\nContent-Length: 14\r\n\r\nNAME=VALUE&I=0", std::string(kRefused),
          "POST /b HTTP/1.1\r\nContent-Length: 1\r\n\r\nx", std::string(kOk)}},
        {"chunks, the next request in the record of the last",
         true,
         {{Direction::Sent, "POST /c HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhel"},
          {Direction::Received, kRefused},
          {Direction::Sent, "lo\r\n0\r\nX-Sum: 1\r\n\r\nGET /d HTTP/1.1\r\n\r\n"},
          {Direction::Received, kOk}},
         {"POST /c HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\nX-Sum: 1\r\n\r\n",
          std::string(kRefused), "GET /d HTTP/1.1\r\n\r\n", std::string(kOk)}},
        {"a body not kept is still counted and followed",
         false,
         {{Direction::Sent, "POST /e HTTP/1.1\r\nContent-Length: 5\r\n\r\n"},
          {Direction::Received, kRefused},
          {Direction::Sent, "abcdeGET /f HTTP/1.1\r\n\r\n"}},
         {"POST /e HTTP/1.1\r\nContent-Length: 5\r\n\r\n", std::string(kRefused),
          "GET /f HTTP/1.1\r\n\r\n"},
         5},
        {"pipelined, no answer between",
         true,
         {{Direction::Sent, "POST /g HTTP/1.1\r\nContent-Length: 2\r\n\r\nok"},
          {Direction::Sent, "GET /h HTTP/1.1\r\n\r\n"}},
         {"POST /g HTTP/1.1\r\nContent-Length: 2\r\n\r\nok", "GET /h HTTP/1.1\r\n\r\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        document.OnNewDocument();
        m_previous = Direction::None;
        CaptureRules rules;
        rules.requestBodies = c.keepBody;
        document.SetCaptureRules(rules);
        for (const Step& step : c.steps) {
            Record(step.direction, step.bytes);
        }
        EXPECT_EQ(Texts(), c.texts);
        ASSERT_FALSE(document.requests().empty());
        EXPECT_EQ(document.requests()[0]->skipped(), c.firstSkipped);
        if (document.responses().size() > 1) {
            EXPECT_EQ(document.requests()[0]->response(), document.responses()[0]);
            EXPECT_EQ(document.requests()[1]->response(), document.responses()[1]);
        }
    }
}

}  // namespace
}  // namespace vantor
