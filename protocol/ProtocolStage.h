#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>

#include "record/CaptureRecord.h"

namespace vantor {

class MessageSink;

enum class EntryPoint { None, NewRequest, AppendRequest, NewResponse, AppendResponse };

// Bytes of a connection that were not captured (records a full ring could not take), told in
// their place among its records.
struct LostBytes {
    bool sizesKnown = false;
    std::uint64_t sent = 0;
    std::uint64_t received = 0;
    // The direction of the transfer before the first lost bytes, and of the last ones (None:
    // not known): whether they continued a message, and on which side they end.
    Direction before = Direction::None;
    Direction last = Direction::None;
};

// Passes a record's data to the document entry point it names, as it is.
void DeliverAsHttp1(MessageSink& document, EntryPoint entryPoint, const CaptureRecord& header,
                    std::span<const std::uint8_t> data);

// Between dispatch and the document: what each connection speaks. HTTP/1.x goes to the
// document as it is. A connection that opens with HTTP/2's preface, or switches to it with a
// 101 (Upgrade: h2c), is decoded frame by frame, and each of its streams becomes a request and
// a response of a connection id of its own (handed out from the top of the id range down), so
// that the document pairs them as it pairs any exchange, however streams interleave, and a
// saved document pairs them the same way when it is read back. After a 101 to WebSocket the
// connection's frames are written as lines under the 101 response; after a 101 to anything
// else its bytes are counted, never parsed as HTTP.
class ProtocolStage {
public:
    ProtocolStage();
    ~ProtocolStage();
    ProtocolStage(const ProtocolStage&) = delete;
    ProtocolStage& operator=(const ProtocolStage&) = delete;

    void Deliver(MessageSink& document, EntryPoint entryPoint, const CaptureRecord& header,
                 std::span<const std::uint8_t> data);
    // A hole in a connection: the messages it cuts say so, frames are followed no further, and
    // each side of HTTP/1.x that lost bytes goes on at its next message (bytes before that are
    // counted as missing, never appended to the message the hole cut).
    void Lost(MessageSink& document, const CaptureRecord& header, const LostBytes& lost);

    // Bytes of connections that could not be read (joined part way, in frames that need their
    // start) and were left out.
    std::uint64_t LeftOutBytes() const { return m_leftOutBytes; }

    // The most connections whose protocol is followed (all others are plain HTTP/1.x): past
    // it the one unused longest is forgotten.
    static constexpr std::size_t kMostFollowed = 16384;
    // A head (start line and header) is read by the stage itself, to see a switch of protocol
    // asked for and answered: past this length it is given up (no switch is followed), and all
    // heads kept between records take at most kMostHeadBytes.
    static constexpr std::size_t kLongestHead = 64 * 1024;
    static constexpr std::size_t kMostHeadBytes = 16 * 1024 * 1024;

private:
    struct Connection;

    Connection* Find(std::uint32_t id);
    Connection& Follow(std::uint32_t id);
    void Forget(std::uint32_t id);
    void DeliverWatched(Connection& connection, EntryPoint entryPoint,
                        std::span<const std::uint8_t> data);
    void Switch(Connection& connection, std::span<const std::uint8_t> rest);
    // After a hole: whether the record goes on (possibly as a new message), or is counted
    // missing. Forgets the connection once both sides are past their holes.
    bool Resynchronised(Connection& connection, EntryPoint& entryPoint,
                        std::span<const std::uint8_t> data);
    std::uint32_t NextStreamId() { return m_nextStreamId--; }
    // Whether a request's head completes with data (its first record, or a later one of a head
    // that was open) and has an Upgrade field.
    bool AsksToSwitch(std::uint32_t id, EntryPoint entryPoint, std::span<const std::uint8_t> data);
    void ForgetRequestHead(std::uint32_t id);
    void GrowHead(std::string& head, std::span<const std::uint8_t> data);
    void DropHead(std::string& head);

    std::unordered_map<std::uint32_t, std::unique_ptr<Connection>> m_connections;
    std::list<std::uint32_t> m_byUse;  // least recently used first
    std::uint32_t m_nextStreamId = 0xFFFFFFFFu;
    std::uint64_t m_leftOutBytes = 0;
    // Requests whose head is still open, the bytes so far.
    std::unordered_map<std::uint32_t, std::string> m_requestHeads;
    std::size_t m_headBytes = 0;
};

}  // namespace vantor
