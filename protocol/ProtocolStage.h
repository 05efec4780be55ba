#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <span>
#include <unordered_map>

#include "record/CaptureRecord.h"

namespace vantor {

class CSnifferDoc;

enum class EntryPoint { None, NewRequest, AppendRequest, NewResponse, AppendResponse };

// Passes a record's data to the document entry point it names, as it is.
void DeliverAsHttp1(CSnifferDoc& document, EntryPoint entryPoint, const CaptureRecord& header,
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

    void Deliver(CSnifferDoc& document, EntryPoint entryPoint, const CaptureRecord& header,
                 std::span<const std::uint8_t> data);

    // Bytes of connections that could not be read (joined part way, in frames that need their
    // start) and were left out.
    std::uint64_t LeftOutBytes() const { return m_leftOutBytes; }

    // The most connections whose protocol is followed (all others are plain HTTP/1.x): past
    // it the one unused longest is forgotten.
    static constexpr std::size_t kMostFollowed = 16384;

private:
    struct Connection;

    Connection* Find(std::uint32_t id);
    Connection& Follow(std::uint32_t id);
    void Forget(std::uint32_t id);
    void DeliverWatched(Connection& connection, EntryPoint entryPoint,
                        std::span<const std::uint8_t> data);
    void Switch(Connection& connection, std::span<const std::uint8_t> rest);
    std::uint32_t NextStreamId() { return m_nextStreamId--; }

    std::unordered_map<std::uint32_t, std::unique_ptr<Connection>> m_connections;
    std::list<std::uint32_t> m_byUse;  // least recently used first
    std::uint32_t m_nextStreamId = 0xFFFFFFFFu;
    std::uint64_t m_leftOutBytes = 0;
};

}  // namespace vantor
