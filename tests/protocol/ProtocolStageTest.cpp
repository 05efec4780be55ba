// Connections that speak HTTP/2 or switch to another protocol, as records reach the document
// through dispatch: every stream an exchange, frames never junk messages.
#include "protocol/ProtocolStage.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "DocumentBytes.h"
#include "RecordFeeder.h"
#include "TestSupport.h"
#include "capture/CaptureDispatch.h"
#include "document/CSnifferDoc.h"
#include "framework/ByteStreams.h"
#include "framework/CArchive.h"
#include "protocol/Http2Decoder.h"
#include "support/Http2FrameWriter.h"

namespace vantor {
namespace {

using Fields = Http2FrameWriter::Fields;

class ProtocolStageTest : public testing::Test {
protected:
    void Sent(std::uint32_t connection, std::string_view bytes) { feeder.Sent(connection, bytes); }
    void Received(std::uint32_t connection, std::string_view bytes) {
        feeder.Received(connection, bytes);
    }
    void Record(std::uint32_t connection, Direction direction, std::string_view bytes) {
        feeder.Record(connection, direction, bytes);
    }
    void Reopened(std::uint32_t connection) { feeder.Reopened(connection); }

    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const auto& message : document.messages()) {
            texts.emplace_back(message->text());
        }
        return texts;
    }

    // The text of the response paired with each request, or "-".
    static std::vector<std::string> Pairs(const CSnifferDoc& of) {
        std::vector<std::string> pairs;
        for (const HTTPRequest* request : of.requests()) {
            pairs.emplace_back(request->response() != nullptr ? request->response()->text() : "-");
        }
        return pairs;
    }

    CSnifferDoc document;
    test::RecordFeeder feeder{document};
};

const Fields kGetA = {{":method", "GET"},
                      {":scheme", "http"},
                      {":authority", "127.0.0.1:8080"},
                      {":path", "/a"},
                      {"accept", "*/*"}};
const Fields kPostB = {{":method", "POST"},
                       {":scheme", "http"},
                       {":authority", "127.0.0.1:8080"},
                       {":path", "/b"},
                       {"content-type", "text/plain"}};

TEST_F(ProtocolStageTest, EveryStreamIsAnExchangeHoweverStreamsInterleave) {
    Http2FrameWriter client;
    Http2FrameWriter server;
    Sent(7, Http2FrameWriter::Join({std::string(Http2Decoder::kPreface),
                                    Http2FrameWriter::Settings({}), client.Headers(1, kGetA, true),
                                    client.Headers(3, kPostB, false)}));
    Received(7, Http2FrameWriter::Settings({}) +
                    server.Headers(3, {{":status", "201"}, {"content-type", "text/plain"}}, false));
    Sent(7, Http2FrameWriter::Data(3, "posted", true));
    Received(7, Http2FrameWriter::Join(
                    {server.Headers(1, {{":status", "404"}, {"content-type", "text/html"}}, false),
                     Http2FrameWriter::Data(3, "made", true),
                     Http2FrameWriter::Data(1, "<p>none</p>", true)}));

    EXPECT_THAT(Texts(),
                testing::ElementsAre(
                    "GET /a HTTP/2\r\nHost: 127.0.0.1:8080\r\naccept: */*\r\n\r\n",
                    "POST /b HTTP/2\r\nHost: 127.0.0.1:8080\r\ncontent-type: text/plain\r\n\r\n"
                    "posted",
                    "HTTP/2 201\r\ncontent-type: text/plain\r\n\r\nmade",
                    "HTTP/2 404\r\ncontent-type: text/html\r\n\r\n<p>none</p>"));
    const std::vector<std::string> pairs = {
        "HTTP/2 404\r\ncontent-type: text/html\r\n\r\n<p>none</p>",
        "HTTP/2 201\r\ncontent-type: text/plain\r\n\r\nmade"};
    EXPECT_EQ(Pairs(document), pairs);
    EXPECT_EQ(document.requests()[0]->caption(), "GET 127.0.0.1:8080/a");
    EXPECT_EQ(document.responses()[1]->statusCode(), 404u);
    EXPECT_EQ(document.requests()[1]->peerText(), "IP: 127.0.0.1:8080");

    // Saved and read back: the same texts, paired the same way.
    const auto bytes = test::Stored(document);
    CSnifferDoc loaded;
    MemoryByteSource source(bytes);
    CArchive archive(source);
    loaded.Serialize(archive);
    EXPECT_EQ(Pairs(loaded), pairs);
    EXPECT_EQ(test::Stored(loaded), bytes);
}

TEST_F(ProtocolStageTest, AnUpgradeToH2cAnswersTheRequestThatAskedWithStreamOne) {
    Http2FrameWriter client;
    Http2FrameWriter server;
    const std::string upgrade =
        "GET /first HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: Upgrade, HTTP2-Settings\r\n"
        "Upgrade: h2c\r\nHTTP2-Settings: AAMAAABkAAQAAP__\r\n\r\n";
    const std::string switching =
        "HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: h2c\r\n\r\n";
    Sent(3, upgrade);
    Received(3, switching + Http2FrameWriter::Settings({}) +
                    server.Headers(1, {{":status", "200"}}, false) +
                    Http2FrameWriter::Data(1, "first", true));
    Sent(3, std::string(Http2Decoder::kPreface) + Http2FrameWriter::Settings({}) +
                client.Headers(3, kGetA, true));
    Received(3, server.Headers(3, {{":status", "200"}}, false) +
                    Http2FrameWriter::Data(3, "second", true));

    EXPECT_THAT(Texts(), testing::ElementsAre(upgrade, switching, "HTTP/2 200\r\n\r\nfirst",
                                              "GET /a HTTP/2\r\nHost: 127.0.0.1:8080\r\n"
                                              "accept: */*\r\n\r\n",
                                              "HTTP/2 200\r\n\r\nsecond"));
    EXPECT_THAT(Pairs(document),
                testing::ElementsAre("HTTP/2 200\r\n\r\nfirst", "HTTP/2 200\r\n\r\nsecond"));
}

std::string ClientFrame(std::uint8_t first, std::string_view payload) {
    std::string frame = {static_cast<char>(first),
                         static_cast<char>(0x80 | payload.size()),
                         '\0',
                         '\0',
                         '\0',
                         '\0'};  // a mask of zeros leaves the payload as it is
    return frame + std::string(payload);
}

TEST_F(ProtocolStageTest, WebSocketFramesAreLinesUnderThe101AndNeverRequests) {
    const std::string request =
        "GET /chat HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    const std::string switching =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";
    Sent(5, request);
    // The 101 arrives in two pieces, the second with the server's first frame.
    Received(5, switching.substr(0, 20));
    Received(5, switching.substr(20) + "\x81\x02hi");
    Sent(5, ClientFrame(0x81, "GET / HTTP/1.1\r\n\r\n"));
    Received(5, std::string("\x88\x02\x03\xe8", 4));
    Sent(5, ClientFrame(0x88, "\x03\xe8"));
    Sent(5, "trailing");

    ASSERT_EQ(document.messages().size(), 2u) << testing::PrintToString(Texts());
    EXPECT_EQ(document.responses()[0]->text(),
              switching +
                  "server text, 2 bytes: hi\r\n"
                  "client text, 18 bytes: GET / HTTP/1.1\r\n\r\n\r\n"
                  "server close, 2 bytes: 1000 (normal closure)\r\n"
                  "client close, 2 bytes: 1000 (normal closure)\r\n");
    EXPECT_EQ(document.responses()[0]->skipped(), 8);
    EXPECT_EQ(document.requests()[0]->response(), document.responses()[0]);
}

// The stage reads heads itself: a request that asks to switch, and the answer, cut anywhere
// into records (the field's name in any case), switch all the same.
TEST_F(ProtocolStageTest, ASwitchIsSeenWhereverItsHeadsAreCut) {
    const std::string request =
        "GET /chat HTTP/1.1\r\nHost: a\r\nUPGRADE: WebSocket\r\nConnection: Upgrade\r\n\r\n";
    const std::string switching =
        "HTTP/1.1 101 Switching Protocols\r\nupgrade:  websocket \r\n\r\n";
    std::uint32_t connection = 100;
    for (std::size_t cut = 1; cut < request.size(); ++cut, ++connection) {
        Sent(connection, request.substr(0, cut));
        Sent(connection, request.substr(cut));
        const std::size_t answerCut = 1 + cut % (switching.size() - 1);
        Received(connection, switching.substr(0, answerCut));
        Received(connection, switching.substr(answerCut) + "\x81\x02hi");
        const HTTPResponse* response = document.LatestResponse(connection);
        ASSERT_NE(response, nullptr) << cut;
        EXPECT_EQ(response->text(), switching + "server text, 2 bytes: hi\r\n") << cut;
    }
}

TEST_F(ProtocolStageTest, AnyOtherUpgradeIsCountedAndARefusedOneStaysHttp) {
    Sent(6, "GET / HTTP/1.1\r\nHost: a\r\nUpgrade: custom/1\r\nConnection: Upgrade\r\n\r\n");
    Received(6, "HTTP/1.1 101 Switching Protocols\r\nUpgrade: custom/1\r\n\r\nxyz");
    Sent(6, "GET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(document.messages().size(), 2u);
    EXPECT_EQ(document.responses()[0]->skipped(), 3 + 18);

    // Asked, refused: what follows is HTTP/1.1 as before, on the same connection.
    Sent(8, "GET /ws HTTP/1.1\r\nHost: a\r\nUpgrade: websocket\r\n\r\n");
    Received(8, "HTTP/1.1 426 Upgrade Required\r\nContent-Length: 4\r\n\r\nnope");
    Sent(8, "GET /next HTTP/1.1\r\nHost: a\r\n\r\n");
    Received(8, "HTTP/1.1 200 OK\r\n\r\n");
    ASSERT_EQ(document.requests().size(), 3u);
    EXPECT_EQ(document.requests()[2]->caption(), "GET a/next");
    EXPECT_EQ(document.requests()[2]->response()->text(), "HTTP/1.1 200 OK\r\n\r\n");
    EXPECT_EQ(document.responses()[1]->text(),
              "HTTP/1.1 426 Upgrade Required\r\nContent-Length: 4\r\n\r\nnope");

    // A refusal whose body came in the record of its header is classed by that body, as the
    // same answer to a request that asked for nothing.
    const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";
    Sent(10, "GET /ws HTTP/1.1\r\nHost: a\r\nUpgrade: websocket\r\n\r\n");
    Received(10, answer);
    Sent(11, "GET /plain HTTP/1.1\r\nHost: a\r\n\r\n");
    Received(11, answer);
    for (const std::uint32_t connection : {10u, 11u}) {
        const HTTPResponse* response = document.LatestResponse(connection);
        ASSERT_NE(response, nullptr);
        EXPECT_EQ(response->contentClass(), ContentClass::Other) << connection;
        EXPECT_EQ(response->text(), answer);
    }
}

TEST_F(ProtocolStageTest, ASocketThatReusesTheIdOfAnHttp2OneIsHttp1Again) {
    Http2FrameWriter client;
    Sent(9, std::string(Http2Decoder::kPreface) + Http2FrameWriter::Settings({}) +
                client.Headers(1, kGetA, true));
    Reopened(9);
    Sent(9, "GET /plain HTTP/1.1\r\n\r\n");
    Received(9, "HTTP/1.1 200 OK\r\n\r\n");
    ASSERT_EQ(document.requests().size(), 2u);
    EXPECT_EQ(document.requests()[1]->caption(), "GET /plain");
    EXPECT_EQ(document.requests()[1]->response()->text(), "HTTP/1.1 200 OK\r\n\r\n");
}

TEST_F(ProtocolStageTest, AnHttp2ConnectionJoinedHalfWayIsLeftOut) {
    Http2FrameWriter server;
    // Capture started after the preface: the first records seen continue the connection.
    Record(12, Direction::Received, "");  // what the provider saw before: a receive
    const std::string data = Http2FrameWriter::Data(1, "x", false);
    const std::string headers = server.Headers(1, {{":status", "200"}}, false);
    Sent(12, data);
    Received(12, headers);
    EXPECT_TRUE(document.messages().empty()) << testing::PrintToString(Texts());
    EXPECT_EQ(feeder.LeftOutBytes(), data.size() + headers.size()) << "counted, not shown";
    // The client begins a request line: HTTP/1.x from there on, on the same socket.
    Sent(12, "GET /after HTTP/1.1\r\n\r\n");
    Received(12, "HTTP/1.1 204 No Content\r\n\r\n");
    ASSERT_EQ(document.requests().size(), 1u);
    EXPECT_EQ(document.requests()[0]->caption(), "GET /after");
    EXPECT_NE(document.requests()[0]->response(), nullptr);
    // A new socket with the same id is HTTP/1.x again.
    Reopened(12);
    Sent(12, "GET /new HTTP/1.1\r\n\r\n");
    ASSERT_EQ(document.requests().size(), 2u);
    EXPECT_EQ(document.requests()[1]->caption(), "GET /new");
}

TEST_F(ProtocolStageTest, BadFramesStopDecodingWithANoticeAndLoseNothingBefore) {
    Http2FrameWriter client;
    Http2FrameWriter server;
    Sent(4, std::string(Http2Decoder::kPreface) + Http2FrameWriter::Settings({}) +
                client.Headers(1, kGetA, true));
    Received(4, server.Headers(1, {{":status", "200"}}, false) +
                    Http2FrameWriter::Data(1, "ok", false) +
                    Http2FrameWriter::Frame(0x0, 0, 1, std::string(20000, 'x')));
    Received(4, "HTTP/1.1 200 OK\r\n\r\n");
    Sent(4, "GET / HTTP/1.1\r\n\r\n");
    ASSERT_EQ(document.messages().size(), 2u) << "nothing after the fault is parsed";
    EXPECT_THAT(std::string(document.responses()[0]->text()),
                testing::StartsWith("HTTP/2 200\r\n\r\nok\r\n[HTTP/2 decoding stopped: a frame of "
                                    "20000 bytes from the server"));
}

}  // namespace
}  // namespace vantor
