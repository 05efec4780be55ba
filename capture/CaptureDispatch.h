#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>

#include "protocol/ProtocolStage.h"
#include "protocol/tls/TlsStage.h"
#include "record/CaptureRecord.h"

namespace vantor {

class KeyLogFiles;
class MessageSink;

// A record on its way to dispatch: its header, and its data, which stay where its source found
// them.
struct PendingRecord {
    CaptureRecord header;
    std::span<const std::uint8_t> data;
};

// Which document entry point a record goes to, by its direction and the direction of the
// previous record of its socket.
EntryPoint ChooseEntryPoint(Direction direction, Direction previousDirection);

// What a lost record's data say (capture/ChannelLayout.h); nothing when they are not that.
std::optional<LostBytes> ReadLostBytes(std::span<const std::uint8_t> data);

// Hands capture records to the document: every record source (the capture channel's rings,
// record streams, packet captures) calls Dispatch, on the thread that owns the document.
class CaptureDispatch {
public:
    // activeDocument gives the document records go to; it may give none.
    explicit CaptureDispatch(std::function<MessageSink*()> activeDocument);

    // Held only around an entry point's call.
    std::mutex& captureLock() { return m_captureLock; }

    // Passes a record through the protocol stage (HTTP/1.x to at most one entry point; HTTP/2
    // and WebSocket decoded first); a lost record tells the stage of its hole. Only the first
    // header.dataLength bytes of data are the record's.
    void Dispatch(const CaptureRecord& header, std::span<const std::uint8_t> data);
    void Dispatch(const PendingRecord& record) { Dispatch(record.header, record.data); }

    // Bytes of connections that could not be read and were left out.
    std::uint64_t LeftOutBytes() const { return m_protocols.LeftOutBytes(); }

    // The secrets TLS records are decrypted with: key log text goes in here.
    KeyLog& keys() { return m_tls.keys(); }
    // Key log text (a capture file's secrets).
    void AddKeys(std::string_view text);
    // Now and then while records come: what the key logs gained is read, and TLS connections
    // that wait for keys go on, or give up.
    void Tick(KeyLogFiles& keyLogs);
    // No more records come: TLS connections still waiting give up, saying why.
    void FinishTls(std::string_view why);

private:
    // Hands plain text to the protocol stage with the entry point its directions choose.
    void DeliverPlain(MessageSink& document, const CaptureRecord& header,
                      std::span<const std::uint8_t> data);

    std::function<MessageSink*()> m_activeDocument;
    std::mutex m_captureLock;
    ProtocolStage m_protocols;
    TlsStage m_tls;
    MessageSink* m_tlsDocument = nullptr;  // where the TLS stage's plain text goes, while it runs
    ProcessCache m_processes;
};

}  // namespace vantor
