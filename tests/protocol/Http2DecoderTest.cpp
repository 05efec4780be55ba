#include "protocol/Http2Decoder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "TestSupport.h"
#include "support/Http2FrameWriter.h"

namespace vantor {
namespace {

using testing::ElementsAre;
using Fields = Http2FrameWriter::Fields;

// Writes down what the decoder tells, with the DATA of one stream and side joined however it
// was split.
class RecordingSink : public Http2Sink {
public:
    void Request(std::uint32_t stream, std::string_view text) override {
        events.push_back("request " + std::to_string(stream) + "\n" + std::string(text));
    }
    void Response(std::uint32_t stream, std::string_view text) override {
        events.push_back("response " + std::to_string(stream) + "\n" + std::string(text));
    }
    void More(std::uint32_t stream, Direction direction, std::string_view bytes) override {
        const std::string head = "more " + std::to_string(stream) +
                                 (direction == Direction::Sent ? " client" : " server") + "\n";
        if (!events.empty() && events.back().starts_with(head)) {
            events.back() += bytes;
        } else {
            events.push_back(head + std::string(bytes));
        }
    }
    void Closed(std::uint32_t stream) override {
        events.push_back("closed " + std::to_string(stream));
    }
    void Stopped(std::string_view notice) override {
        events.push_back("stopped " + std::string(notice));
    }
    std::vector<std::string> events;
};

struct Piece {
    bool fromClient;
    std::string bytes;
};

std::span<const std::uint8_t> Span(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::vector<std::string> Decode(const std::vector<Piece>& pieces) {
    RecordingSink sink;
    Http2Decoder decoder(sink);
    for (const Piece& piece : pieces) {
        decoder.Feed(piece.fromClient ? Direction::Sent : Direction::Received, Span(piece.bytes));
    }
    return sink.events;
}

std::string Hex(std::string_view hex) {
    std::string bytes;
    std::string digits;
    for (const char c : hex) {
        if (c != ' ') {
            digits += c;
        }
    }
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

std::string Preface() {
    return std::string(Http2Decoder::kPreface) + Http2FrameWriter::Settings({});
}

const Fields kGet = {
    {":method", "GET"},  {":scheme", "https"},        {":authority", "example.test:8443"},
    {":path", "/a?x=1"}, {"user-agent", "curl/7.88"}, {"accept", "*/*"}};

// Two requests on streams 1 and 3 whose answers interleave, with a request body, a 404 and
// every other frame a peer sends besides (SETTINGS and its ACK, WINDOW_UPDATE, PING,
// PRIORITY, a frame type of an extension).
std::vector<Piece> Exchange() {
    Http2FrameWriter client;
    Http2FrameWriter server;
    Fields post = {{":method", "POST"},
                   {":scheme", "https"},
                   {":authority", "example.test:8443"},
                   {":path", "/upload"},
                   {"content-type", "application/json"}};
    return {
        {true, Preface() + client.Headers(1, kGet, true)},
        {false, Http2FrameWriter::Settings({{0x3, 100}}) + Http2FrameWriter::Frame(0x4, 1, 0, "")},
        {true, Http2FrameWriter::Join(
                   {client.Headers(3, post, false), Http2FrameWriter::Data(3, "{\"n\":", false),
                    Http2FrameWriter::Frame(0x8, 0, 0, std::string("\0\0\1\0", 4))})},
        {true, Http2FrameWriter::Join({Http2FrameWriter::Data(3, "1}", true),
                                       Http2FrameWriter::Frame(0x6, 0, 0, std::string(8, 'p')),
                                       Http2FrameWriter::Frame(0x2, 0, 3, std::string(5, '\0')),
                                       Http2FrameWriter::Frame(0xfa, 0x7, 3, "an extension")})},
        {false, Http2FrameWriter::Join(
                    {server.Headers(3, {{":status", "200"}, {"content-type", "text/plain"}}, false),
                     server.Headers(1, {{":status", "404"}}, false),
                     Http2FrameWriter::Data(3, "stored", false),
                     Http2FrameWriter::Data(1, "no such thing", true),
                     Http2FrameWriter::Data(3, "", true)})},
    };
}

const std::vector<std::string> kExchangeEvents = {
    "request 1\nGET /a?x=1 HTTP/2\r\nHost: example.test:8443\r\nuser-agent: curl/7.88\r\n"
    "accept: */*\r\n\r\n",
    "request 3\nPOST /upload HTTP/2\r\nHost: example.test:8443\r\n"
    "content-type: application/json\r\n\r\n",
    "more 3 client\n{\"n\":1}",
    "response 3\nHTTP/2 200\r\ncontent-type: text/plain\r\n\r\n",
    "response 1\nHTTP/2 404\r\n\r\n",
    "more 3 server\nstored",
    "more 1 server\nno such thing",
    "closed 1",
    "closed 3",
};

TEST(Http2DecoderTest, StreamsBecomeRequestsAndResponsesHoweverTheBytesAreSplit) {
    const auto pieces = Exchange();
    EXPECT_EQ(Decode(pieces), kExchangeEvents);
    // Every piece cut at every byte; and all of it a byte at a time.
    for (std::size_t which = 0; which < pieces.size(); ++which) {
        for (std::size_t at = 1; at < pieces[which].bytes.size(); ++at) {
            std::vector<Piece> split;
            for (std::size_t i = 0; i < pieces.size(); ++i) {
                if (i == which) {
                    split.push_back({pieces[i].fromClient, pieces[i].bytes.substr(0, at)});
                    split.push_back({pieces[i].fromClient, pieces[i].bytes.substr(at)});
                } else {
                    split.push_back(pieces[i]);
                }
            }
            ASSERT_EQ(Decode(split), kExchangeEvents) << "piece " << which << " cut at " << at;
        }
    }
    std::vector<Piece> bytes;
    for (const Piece& piece : pieces) {
        for (const char c : piece.bytes) {
            bytes.push_back({piece.fromClient, std::string(1, c)});
        }
    }
    EXPECT_EQ(Decode(bytes), kExchangeEvents);
}

// RFC 7541, C.3 and C.4: three requests sharing the dynamic table, without and with Huffman
// coding.
TEST(Http2DecoderTest, RequestHeaderBlocksOfTheHpackExamples) {
    for (const auto& blocks :
         {std::vector<std::string>{
              "8286 8441 0f77 7777 2e65 7861 6d70 6c65 2e63 6f6d",
              "8286 84be 5808 6e6f 2d63 6163 6865",
              "8287 85bf 400a 6375 7374 6f6d 2d6b 6579 0c63 7573 746f 6d2d 7661 6c75 65"},
          std::vector<std::string>{
              "8286 8441 8cf1 e3c2 e5f2 3a6b a0ab 90f4 ff", "8286 84be 5886 a8eb 1064 9cbf",
              "8287 85bf 4088 25a8 49e9 5ba9 7d7f 8925 a849 e95b b8e8 b4bf"}}) {
        std::string client = std::string(Http2Decoder::kPreface);
        std::uint32_t stream = 1;
        for (const std::string& block : blocks) {
            client += Http2FrameWriter::Frame(0x1, 0x5, stream, Hex(block));
            stream += 2;
        }
        EXPECT_THAT(Decode({{true, client}}),
                    ElementsAre("request 1\nGET / HTTP/2\r\nHost: www.example.com\r\n\r\n",
                                "request 3\nGET / HTTP/2\r\nHost: www.example.com\r\n"
                                "cache-control: no-cache\r\n\r\n",
                                "request 5\nGET /index.html HTTP/2\r\nHost: www.example.com\r\n"
                                "custom-key: custom-value\r\n\r\n"));
    }
}

// RFC 7541, C.5 and C.6: three responses with a 256-byte table the client announced, so that
// entries are evicted on the way.
TEST(Http2DecoderTest, ResponseHeaderBlocksOfTheHpackExamplesEvictEntries) {
    for (const auto& blocks :
         {std::vector<std::string>{
              "4803 3330 3258 0770 7269 7661 7465 611d 4d6f 6e2c 2032 3120 4f63 7420 3230 3133 "
              "2032 303a 3133 3a32 3120 474d 546e 1768 7474 7073 3a2f 2f77 7777 2e65 7861 6d70 "
              "6c65 2e63 6f6d",
              "4803 3330 37c1 c0bf",
              "88c1 611d 4d6f 6e2c 2032 3120 4f63 7420 3230 3133 2032 303a 3133 3a32 3220 474d "
              "54c0 5a04 677a 6970 7738 666f 6f3d 4153 444a 4b48 514b 425a 584f 5157 454f 5049 "
              "5541 5851 5745 4f49 553b 206d 6178 2d61 6765 3d33 3630 303b 2076 6572 7369 6f6e "
              "3d31"},
          std::vector<std::string>{
              "4882 6402 5885 aec3 771a 4b61 96d0 7abe 9410 54d4 44a8 2005 9504 0b81 66e0 82a6 "
              "2d1b ff6e 919d 29ad 1718 63c7 8f0b 97c8 e9ae 82ae 43d3",
              "4883 640e ffc1 c0bf",
              "88c1 6196 d07a be94 1054 d444 a820 0595 040b 8166 e084 a62d 1bff c05a 839b d9ab "
              "77ad 94e7 821d d7f2 e6c7 b335 dfdf cd5b 3960 d5af 2708 7f36 72c1 ab27 0fb5 291f "
              "9587 3160 65c0 03ed 4ee5 b106 3d50 07"}}) {
        std::string client =
            std::string(Http2Decoder::kPreface) + Http2FrameWriter::Settings({{0x1, 256}});
        std::string server;
        for (std::uint32_t stream : {1u, 3u, 5u}) {
            client += Http2FrameWriter::Frame(0x1, 0x5, stream, Hex("8284"));  // GET /
        }
        std::uint32_t stream = 1;
        for (const std::string& block : blocks) {
            // The encoder owns up to the smaller table with a size update (to 256) first.
            server += Http2FrameWriter::Frame(0x1, 0x4, stream,
                                              (stream == 1 ? Hex("3fe101") : "") + Hex(block));
            stream += 2;
        }
        const auto events = Decode({{true, client}, {false, server}});
        ASSERT_EQ(events.size(), 6u) << testing::PrintToString(events);
        EXPECT_EQ(
            events[3],
            "response 1\nHTTP/2 302\r\ncache-control: private\r\n"
            "date: Mon, 21 Oct 2013 20:13:21 GMT\r\nlocation: https://www.example.com\r\n\r\n");
        EXPECT_EQ(
            events[4],
            "response 3\nHTTP/2 307\r\ncache-control: private\r\n"
            "date: Mon, 21 Oct 2013 20:13:21 GMT\r\nlocation: https://www.example.com\r\n\r\n");
        EXPECT_EQ(events[5],
                  "response 5\nHTTP/2 200\r\ncache-control: private\r\n"
                  "date: Mon, 21 Oct 2013 20:13:22 GMT\r\nlocation: https://www.example.com\r\n"
                  "content-encoding: gzip\r\n"
                  "set-cookie: foo=ASDJKHQKBZXOQWEOPIUAXQWEOIU; max-age=3600; version=1\r\n\r\n");
    }
}

TEST(Http2DecoderTest, PaddingPriorityContinuationInterimTrailersAndPushes) {
    Http2FrameWriter client;
    Http2FrameWriter server;
    const std::string block = client.Block(kGet);
    // HEADERS padded and with priority, its block finished by two CONTINUATIONs.
    const std::string headers = Http2FrameWriter::Frame(
        0x1, 0x8 | 0x20, 1,
        std::string(1, '\3') + std::string("\0\0\0\0\x10", 5) + block.substr(0, 4) + "pad");
    const std::string continued = Http2FrameWriter::Frame(0x9, 0, 1, block.substr(4, 3)) +
                                  Http2FrameWriter::Frame(0x9, 0x4, 1, block.substr(7));
    const std::string paddedData = Http2FrameWriter::Frame(
        0x0, 0x8 | 0x1, 1, std::string(1, '\2') + "hi" + std::string(2, '\0'));
    const std::string interim = server.Headers(1, {{":status", "100"}}, false);
    const std::string promise = Http2FrameWriter::Frame(
        0x5, 0x4, 1,
        std::string("\0\0\0\2", 4) + server.Block({{":method", "GET"},
                                                   {":scheme", "https"},
                                                   {":authority", "example.test:8443"},
                                                   {":path", "/style.css"}}));
    const std::string fromServer = Http2FrameWriter::Join(
        {interim, promise, server.Headers(1, {{":status", "200"}}, false),
         Http2FrameWriter::Data(1, "body", false), server.Headers(1, {{"grpc-status", "0"}}, true),
         server.Headers(2, {{":status", "200"}, {"content-type", "text/css"}}, false),
         Http2FrameWriter::Data(2, "p{}", true)});
    const auto events =
        Decode({{true, Preface() + headers + continued + paddedData}, {false, fromServer}});
    EXPECT_THAT(
        events,
        ElementsAre("request 1\nGET /a?x=1 HTTP/2\r\nHost: example.test:8443\r\n"
                    "user-agent: curl/7.88\r\naccept: */*\r\n\r\n",
                    "more 1 client\nhi", "response 1\nHTTP/2 100\r\n\r\n",
                    "request 2\nGET /style.css HTTP/2\r\nHost: example.test:8443\r\n\r\n",
                    "response 1\nHTTP/2 200\r\n\r\n", "more 1 server\nbody\r\ngrpc-status: 0\r\n",
                    "closed 1", "response 2\nHTTP/2 200\r\ncontent-type: text/css\r\n\r\n",
                    "more 2 server\np{}", "closed 2"));
}

TEST(Http2DecoderTest, ResetAndGoAwayEndTheirStreamsWithANotice) {
    Http2FrameWriter client;
    Http2FrameWriter server;
    const auto events = Decode({
        {true,
         Http2FrameWriter::Join({Preface(), client.Headers(1, kGet, true),
                                 client.Headers(3, kGet, true), client.Headers(5, kGet, true)})},
        {false, server.Headers(1, {{":status", "200"}}, false)},
        {true, Http2FrameWriter::Frame(0x3, 0, 1, std::string("\0\0\0\x8", 4))},
        {false, Http2FrameWriter::Frame(0x7, 0, 0, std::string("\0\0\0\3\0\0\0\0debug", 13))},
    });
    EXPECT_THAT(events, testing::IsSupersetOf(
                            {"more 1 client\n\r\n[HTTP/2: stream reset by the client, CANCEL]\r\n",
                             "more 1 server\n\r\n[HTTP/2: stream reset by the client, CANCEL]\r\n",
                             "more 5 client\n\r\n[HTTP/2: not processed; the server is going away, "
                             "NO_ERROR]\r\n",
                             "closed 1", "closed 5"}));
    EXPECT_THAT(events, testing::Not(testing::Contains("closed 3")));
}

struct BadCase {
    std::string name;
    std::vector<Piece> pieces;
    std::string reason;
};

std::vector<BadCase> BadCases() {
    Http2FrameWriter client;
    const std::string request = client.Headers(1, kGet, false);
    // A table entry of 2,000 bytes, then a block that names it again and again.
    Http2FrameWriter bomb;
    const std::string big = bomb.Headers(1, {{"x-big", std::string(2000, 'b')}}, true);
    std::string names;
    for (int i = 0; i < 3000; ++i) {
        names += '\xbe';  // the newest dynamic entry
    }
    return {
        {"not_the_preface", {{true, "PRI * HTTP/2.0\r\n\r\nXX\r\n\r\n"}}, "preface"},
        {"frame_over_the_limit",
         {{true, Preface() + Http2FrameWriter::Frame(0x0, 0, 1, std::string(16385, 'x'))}},
         "over its peer's limit of 16384"},
        {"hpack_garbage",
         {{true, Preface() + Http2FrameWriter::Frame(0x1, 0x4, 1, "\xff\xff\xff\xff\xff")}},
         "HPACK"},
        {"continuation_interrupted",
         {{true, Preface() + Http2FrameWriter::Frame(0x1, 0, 1, request.substr(9, 2)) +
                     Http2FrameWriter::Data(1, "x", false)}},
         "interrupted"},
        {"stray_continuation",
         {{true, Preface() + Http2FrameWriter::Frame(0x9, 0x4, 1, "")}},
         "outside a header block"},
        {"settings_of_odd_size",
         {{true, Preface() + Http2FrameWriter::Frame(0x4, 0, 0, "12345")}},
         "SETTINGS"},
        {"data_on_stream_zero",
         {{true, Preface() + Http2FrameWriter::Data(0, "x", false)}},
         "stream 0"},
        {"push_from_the_client",
         {{true, Preface() + Http2FrameWriter::Frame(0x5, 0x4, 1, std::string("\0\0\0\2", 4))}},
         "PUSH_PROMISE"},
        {"padding_past_the_end",
         {{true, Preface() + request +
                     Http2FrameWriter::Frame(0x0, 0x8, 1, std::string(1, '\x09') + "abc")}},
         "padding"},
        {"decoded_block_too_large",
         {{true, Preface() + big +
                     Http2FrameWriter::Frame(0x1, 0x5, 3, std::string("\x82\x86\x84", 3) + names)}},
         "once decoded"},
        {"frame_size_setting_out_of_range",
         {{false, Http2FrameWriter::Settings({{0x5, 100}})}},
         "frame size limit"},
    };
}

class Http2BadInputTest : public testing::TestWithParam<BadCase> {};

TEST_P(Http2BadInputTest, StopsDecodingWithOneNotice) {
    auto pieces = GetParam().pieces;
    // Whatever comes after is not decoded, and no second notice is given.
    Http2FrameWriter late;
    pieces.push_back({true, late.Headers(7, kGet, true)});
    pieces.push_back({false, std::string(100, '\xff')});
    const auto events = Decode(pieces);
    std::vector<std::string> notices;
    for (const auto& event : events) {
        if (event.starts_with("stopped ")) {
            notices.push_back(event);
        }
        EXPECT_FALSE(event.starts_with("request 7")) << event;
    }
    ASSERT_EQ(notices.size(), 1u) << testing::PrintToString(events);
    EXPECT_THAT(notices[0], testing::HasSubstr(GetParam().reason));
    EXPECT_THAT(notices[0], testing::StartsWith("stopped [HTTP/2 decoding stopped: "));
}

INSTANTIATE_TEST_SUITE_P(Cases, Http2BadInputTest, testing::ValuesIn(BadCases()), test::CaseName());

TEST(Http2DecoderTest, ALargerFrameLimitAnnouncedIsHonouredAndHeaderValuesCannotMakeLines) {
    Http2FrameWriter client;
    Http2FrameWriter server;
    const std::string big(20000, 'd');
    const auto events = Decode({
        {true, Preface() + Http2FrameWriter::Settings({{0x5, 32768}}) +
                   client.Headers(1,
                                  {{":method", "GET"},
                                   {":path", "/"},
                                   {"x-evil", std::string("a\r\nInjected: yes", 16)}},
                                  true)},
        {false,
         server.Headers(1, {{":status", "200"}}, false) + Http2FrameWriter::Data(1, big, true)},
    });
    ASSERT_EQ(events.size(), 4u) << testing::PrintToString(events);
    EXPECT_EQ(events[0], "request 1\nGET / HTTP/2\r\nx-evil: a  Injected: yes\r\n\r\n");
    EXPECT_EQ(events[2], "more 1 server\n" + big);
}

TEST(Http2DecoderTest, AnUpgradedConnectionAnswersItsFirstRequestOnStreamOne) {
    RecordingSink sink;
    Http2Decoder decoder(sink);
    decoder.UpgradedFromHttp1();
    Http2FrameWriter server;
    const std::string fromServer = Http2FrameWriter::Settings({}) +
                                   server.Headers(1, {{":status", "200"}}, false) +
                                   Http2FrameWriter::Data(1, "hello", true);
    decoder.Feed(Direction::Received, Span(fromServer));
    decoder.Feed(Direction::Sent, Span(Preface()));
    EXPECT_THAT(sink.events,
                ElementsAre("response 1\nHTTP/2 200\r\n\r\n", "more 1 server\nhello", "closed 1"));
    EXPECT_FALSE(decoder.stopped());
}

}  // namespace
}  // namespace vantor
