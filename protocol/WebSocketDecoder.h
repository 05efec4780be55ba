#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "record/Direction.h"

namespace vantor {

// What a decoded WebSocket connection tells its owner.
class WebSocketSink {
public:
    virtual ~WebSocketSink() = default;
    // One line of the frame log, ending in CR LF.
    virtual void Line(std::string_view line) = 0;
    // Bytes read past: after the closing handshake or after decoding stopped.
    virtual void Ignored(std::size_t count) = 0;
};

// Reads the frames of both directions of a WebSocket connection (the bytes after its 101
// response) and writes one readable line per frame: who sent it, its opcode, its length, the
// text of text frames (client frames unmasked; long ones cut), the size only of binary ones,
// the code and reason of a close. Fragments are lines of their own. The closing handshake
// ends the log; a frame no peer may send stops it with a notice line.
class WebSocketDecoder {
public:
    // How much of a text frame's payload its line shows.
    static constexpr std::size_t kShownText = 64 * 1024;

    explicit WebSocketDecoder(WebSocketSink& sink) : m_sink(sink) {}

    void Feed(Direction direction, std::span<const std::uint8_t> bytes);

    bool ended() const { return m_stopped || (m_client.closed && m_server.closed); }

private:
    struct Half {
        explicit Half(Direction from) : side(from) {}
        Direction side;
        std::array<std::uint8_t, 14> head{};
        std::size_t headHave = 0;
        bool inFrame = false;
        bool fin = false;
        bool compressed = false;
        std::uint8_t opcode = 0;
        bool masked = false;
        std::array<std::uint8_t, 4> mask{};
        std::uint64_t length = 0;
        std::uint64_t read = 0;
        std::string shown;  // the kept start of a text or close payload
        // A fragmented message under way, and whether it is text.
        bool inMessage = false;
        bool messageIsText = false;
        bool messageCompressed = false;
        bool closed = false;  // sent its close frame
    };

    // Whether the header is complete; false while more bytes are needed or after a stop.
    bool ReadHeader(Half& half, std::span<const std::uint8_t>& bytes);
    void EndFrame(Half& half);
    void Stop(std::string_view reason);

    WebSocketSink& m_sink;
    Half m_client{Direction::Sent};
    Half m_server{Direction::Received};
    bool m_stopped = false;
};

}  // namespace vantor
