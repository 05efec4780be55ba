#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>

#include "protocol/ProtocolStage.h"
#include "record/CaptureRecord.h"

namespace vantor {

class CSnifferDoc;

// The record being handed over: the one process-wide copy of its header, written by the
// reader before each dispatch, and its data, which stay where the reader found them.
struct PendingRecord {
    CaptureRecord header;
    std::span<const std::uint8_t> data;
};

// Which document entry point a record goes to, by its direction and the direction of the
// previous record of its socket.
EntryPoint ChooseEntryPoint(std::uint32_t direction, std::uint32_t previousDirection);

// What a lost record's data say (capture/ChannelLayout.h); nothing when they are not that.
std::optional<LostBytes> ReadLostBytes(std::span<const std::uint8_t> data);

// Hands capture records to the document on the window thread.
class CaptureDispatch {
public:
    // activeDocument gives the document records go to; it may give none.
    explicit CaptureDispatch(std::function<CSnifferDoc*()> activeDocument);

    PendingRecord& pendingRecord() { return m_pending; }
    // Held only around an entry point's call.
    std::mutex& captureLock() { return m_captureLock; }

    // Passes the pending record through the protocol stage (HTTP/1.x to at most one entry
    // point; HTTP/2 and WebSocket decoded first); a lost record tells the stage of its hole.
    // Always returns 0.
    int OnCaptureRecord();

    // Bytes of connections that could not be read and were left out.
    std::uint64_t LeftOutBytes() const { return m_protocols.LeftOutBytes(); }

private:
    std::function<CSnifferDoc*()> m_activeDocument;
    PendingRecord m_pending;
    std::mutex m_captureLock;
    ProtocolStage m_protocols;
};

}  // namespace vantor
