#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "record/CaptureRecord.h"

namespace vantor {

// Where the protocol stage writes the messages it makes of a connection's bytes: the capture
// entry points of a document, and nothing to read back. header is the record the bytes came in
// (its connection id may be a stream's own); data are valid only during the call.
class MessageSink {
public:
    virtual ~MessageSink() = default;

    virtual void NewRequest(const CaptureRecord& header, std::span<const std::uint8_t> data) = 0;
    virtual void AppendRequest(const CaptureRecord& header, std::span<const std::uint8_t> data) = 0;
    virtual void NewResponse(const CaptureRecord& header, std::span<const std::uint8_t> data) = 0;
    virtual void AppendResponse(const CaptureRecord& header,
                                std::span<const std::uint8_t> data) = 0;
    // Bytes of a connection that are not shown (after a switch to a protocol not decoded).
    virtual void CountSkipped(std::uint32_t connectionId, std::uint64_t count) = 0;
    // count bytes that followed the latest request (Sent) or response (Received) of the
    // connection were not captured (nothing: how many is not known).
    virtual void NoteMissingBytes(std::uint32_t connectionId, Direction side,
                                  std::optional<std::uint64_t> count) = 0;
    // The connection will carry nothing more (an HTTP/2 stream that ended).
    virtual void EndConnection(std::uint32_t connectionId) = 0;
};

}  // namespace vantor
