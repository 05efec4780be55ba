#include "protocol/WebSocketDecoder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vantor {
namespace {

using testing::ElementsAre;

class RecordingSink : public WebSocketSink {
public:
    void Line(std::string_view line) override { lines.emplace_back(line); }
    void Ignored(std::size_t count) override { ignored += count; }
    std::vector<std::string> lines;
    std::size_t ignored = 0;
};

// A frame as a client (masked) or a server (not) sends it.
std::string Frame(bool fromClient, std::uint8_t first, std::string_view payload) {
    std::string frame(1, static_cast<char>(first));
    const std::uint8_t mask = fromClient ? 0x80 : 0;
    if (payload.size() < 126) {
        frame += static_cast<char>(mask | payload.size());
    } else if (payload.size() <= 0xFFFF) {
        frame += static_cast<char>(mask | 126);
        frame += static_cast<char>(payload.size() >> 8);
        frame += static_cast<char>(payload.size() & 0xFF);
    } else {
        frame += static_cast<char>(mask | 127);
        for (int shift = 56; shift >= 0; shift -= 8) {
            frame += static_cast<char>((payload.size() >> shift) & 0xFF);
        }
    }
    const std::string key = "\x12\x34\x56\x78";
    if (fromClient) {
        frame += key;
    }
    for (std::size_t i = 0; i < payload.size(); ++i) {
        frame += fromClient ? static_cast<char>(payload[i] ^ key[i % 4]) : payload[i];
    }
    return frame;
}

struct Piece {
    bool fromClient;
    std::string bytes;
};

RecordingSink Decode(const std::vector<Piece>& pieces, std::size_t step = 0) {
    RecordingSink sink;
    WebSocketDecoder decoder(sink);
    for (const Piece& piece : pieces) {
        const std::size_t size = step == 0 ? piece.bytes.size() : step;
        for (std::size_t at = 0; at < piece.bytes.size(); at += size) {
            const std::string part = piece.bytes.substr(at, size);
            decoder.Feed(piece.fromClient ? Direction::Sent : Direction::Received,
                         {reinterpret_cast<const std::uint8_t*>(part.data()), part.size()});
        }
    }
    return sink;
}

TEST(WebSocketDecoderTest, EveryFrameIsALineHoweverTheBytesAreSplit) {
    const std::string longText(70'000, 't');
    const std::vector<Piece> pieces = {
        {true, Frame(true, 0x81, "hello") + Frame(true, 0x89, "")},
        {false, Frame(false, 0x8A, "") + Frame(false, 0x82, std::string(300, '\1'))},
        {true, Frame(true, 0x01, "frag") + Frame(true, 0x00, "men") + Frame(true, 0x80, "ted")},
        {false, Frame(false, 0x81, longText)},
        {false, Frame(false, 0x88,
                      "\x03\xe8"
                      "bye")},
        {true, Frame(true, 0x88, "\x03\xe8")},
        {true, "after the close"},
    };
    for (const std::size_t step : {0u, 1u, 2u, 3u, 7u}) {
        const RecordingSink sink = Decode(pieces, step);
        EXPECT_THAT(sink.lines,
                    ElementsAre("client text, 5 bytes: hello\r\n", "client ping, 0 bytes\r\n",
                                "server pong, 0 bytes\r\n", "server binary, 300 bytes\r\n",
                                "client text (first fragment), 4 bytes: frag\r\n",
                                "client continuation (fragment), 3 bytes: men\r\n",
                                "client continuation (last fragment), 3 bytes: ted\r\n",
                                "server text, 70000 bytes: " +
                                    std::string(WebSocketDecoder::kShownText, 't') +
                                    " [4464 bytes more]\r\n",
                                "server close, 5 bytes: 1000 (normal closure) bye\r\n",
                                "client close, 2 bytes: 1000 (normal closure)\r\n"))
            << "step " << step;
        EXPECT_EQ(sink.ignored, 15u) << "what came after both closes";
    }
}

TEST(WebSocketDecoderTest, CompressedMessagesShowTheirSizeOnly) {
    const RecordingSink sink = Decode({{true, Frame(true, 0xC1, "\xf2\x48\xcd")}});
    EXPECT_THAT(sink.lines, ElementsAre("client text (compressed), 3 bytes\r\n"));
}

TEST(WebSocketDecoderTest, FramesNoPeerMaySendStopTheLogWithOneNotice) {
    for (const auto& [bytes, reason] : std::vector<std::pair<std::string, std::string>>{
             {Frame(false, 0x83, "x"), "reserved opcode 3"},
             {Frame(false, 0x09, "x"), "control frame"},
             {Frame(false, 0x89, std::string(126, 'x')), "control frame"},
             {Frame(false, 0x80, "x"), "continuation frame outside"},
             {Frame(false, 0x01, "a") + Frame(false, 0x81, "b"), "new message inside"},
             {std::string("\x82\x7f\x80\0\0\0\0\0\0\0", 10), "highest bit"},
         }) {
        const RecordingSink sink = Decode({{false, bytes + Frame(false, 0x81, "later")}});
        ASSERT_FALSE(sink.lines.empty());
        EXPECT_THAT(sink.lines.back(), testing::HasSubstr("[WebSocket decoding stopped: "));
        EXPECT_THAT(sink.lines.back(), testing::HasSubstr(reason));
        EXPECT_GT(sink.ignored, 0u);
    }
}

}  // namespace
}  // namespace vantor
