#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

#include "record/Direction.h"

struct nghttp2_hd_inflater;

namespace vantor {

// What a decoded HTTP/2 connection tells its owner, in the order its frames arrived.
class Http2Sink {
public:
    virtual ~Http2Sink() = default;
    // A request's header block, rendered as an HTTP/1.1-style header: from the client's
    // HEADERS, or from the server's PUSH_PROMISE for the promised stream.
    virtual void Request(std::uint32_t stream, std::string_view text) = 0;
    // A response's header block from the server, interim ones (1xx) included.
    virtual void Response(std::uint32_t stream, std::string_view text) = 0;
    // More of a stream's request (Sent) or response (Received): DATA bytes, trailer lines, notices.
    virtual void More(std::uint32_t stream, Direction direction, std::string_view bytes) = 0;
    // The stream has ended both ways, or was reset: nothing more comes for it.
    virtual void Closed(std::uint32_t stream) = 0;
    // Decoding of the connection stopped for good; notice says why.
    virtual void Stopped(std::string_view notice) = 0;
};

// Reads the frames of one HTTP/2 connection, both directions, from the client's connection
// preface on (or, after an upgrade from HTTP/1.1, with stream 1 already open), and turns each
// stream into a request and a response for the sink. Bytes may be split anywhere; header
// blocks are decoded with one HPACK decoder per direction, so the dynamic tables stay right
// across streams. Anything a peer could not have sent stops decoding with one notice; memory
// stays within fixed bounds per connection whatever arrives.
class Http2Decoder {
public:
    static constexpr std::string_view kPreface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";

    explicit Http2Decoder(Http2Sink& sink);
    ~Http2Decoder();
    Http2Decoder(const Http2Decoder&) = delete;
    Http2Decoder& operator=(const Http2Decoder&) = delete;

    // The connection began as HTTP/1.1 and switched (Upgrade: h2c): the request that asked is
    // stream 1, already complete, and its response comes as frames.
    void UpgradedFromHttp1();

    // The next bytes of one direction of the connection.
    void Feed(Direction direction, std::span<const std::uint8_t> bytes);

    bool stopped() const { return m_stopped; }

    // Bounds on what a connection may hold.
    static constexpr std::size_t kLargestHeaderBlock = 1 << 20;
    static constexpr std::size_t kLargestHeaderTable = 1 << 20;
    static constexpr std::size_t kMostOpenStreams = 4096;

private:
    struct Stream {
        bool requestStarted = false;
        bool responseStarted = false;  // a response header block came
        bool responseFinal = false;    // a final (non-1xx) one
        bool clientEnded = false;
        bool serverEnded = false;
    };

    // The reading state of one direction.
    struct Half {
        explicit Half(Direction from) : side(from) {}
        bool FromClient() const { return side == Direction::Sent; }
        Direction side;
        std::size_t prefaceMatched = 0;  // client: bytes of the preface seen so far
        std::array<std::uint8_t, 9> head{};
        std::size_t headHave = 0;
        bool inFrame = false;
        std::uint32_t length = 0;
        std::uint8_t type = 0;
        std::uint8_t flags = 0;
        std::uint32_t stream = 0;
        std::uint32_t left = 0;  // payload bytes of the frame still to come
        // DATA: bytes of data and padding still to come, once the pad length is known.
        bool dataReady = false;
        std::uint32_t dataLeft = 0;
        std::string payload;          // the payload of frames that are read whole
        std::size_t payloadKept = 0;  // how much of the payload is kept (GOAWAY keeps its start)
        // A header block under way (HEADERS or PUSH_PROMISE and its CONTINUATIONs).
        bool inBlock = false;
        std::uint32_t blockStream = 0;
        bool blockEndStream = false;
        bool blockPromise = false;
        std::uint32_t promised = 0;
        std::string block;
        // Set by the other side's SETTINGS.
        std::uint32_t maxFrame = 16384;
        nghttp2_hd_inflater* inflater = nullptr;
    };

    void Stop(std::string_view reason);
    void ReadPreface(Half& half, std::span<const std::uint8_t>& bytes);
    bool BeginFrame(Half& half);
    void ReadData(Half& half, std::span<const std::uint8_t>& bytes);
    void EndFrame(Half& half);
    void OnHeaders(Half& half);
    void OnContinuation(Half& half);
    void OnHeaderBlock(Half& half);
    void OnSettings(Half& half);
    void OnRstStream(Half& half);
    void OnGoAway(Half& half);
    // Decodes block with the direction's decoder into text; false (and stopped) on an error.
    // (a request's or a response's header, or trailer lines).
    bool Inflate(Half& half, std::string_view block, bool request, bool trailers, bool& interim,
                 std::string& text);
    Stream* Find(std::uint32_t stream);
    Stream* Open(std::uint32_t stream);
    void EndStream(std::uint32_t id, Direction side);
    void Close(std::uint32_t id);
    Half& Other(const Half& half) { return half.FromClient() ? m_server : m_client; }

    Http2Sink& m_sink;
    Half m_client{Direction::Sent};
    Half m_server{Direction::Received};
    std::unordered_map<std::uint32_t, Stream> m_streams;
    bool m_stopped = false;
};

}  // namespace vantor
