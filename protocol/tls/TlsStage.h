#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "protocol/tls/KeyLog.h"
#include "record/CaptureRecord.h"

namespace vantor {

// Between dispatch and the protocol stage, for connections whose records are TLS as it went
// over the wire (CaptureRecord::tls): decrypts each with the secrets of the key log and hands
// its plain text on as records of their own, with the directions of the plain text, as if the
// TLS hooks had seen it. A connection whose first plain bytes sent are not HTTP is dropped, as
// the provider drops one. A connection that cannot be decrypted (keys that do not come within
// kKeyWait, a suite not supported, a hole in its bytes) is handed on once as a notice,
// "[TLS, not decrypted: why]", and never as its ciphertext.
class TlsStage {
public:
    using Clock = std::chrono::steady_clock;
    using Output = std::function<void(const CaptureRecord&, std::span<const std::uint8_t>)>;

    static constexpr auto kKeyWait = std::chrono::seconds(10);
    static constexpr std::size_t kMostConnections = 4096;
    // What all connections hold while they wait for keys; past it the one waiting longest
    // gives up.
    static constexpr std::size_t kMostWaitingInAll = 64u << 20;

    explicit TlsStage(Output output);
    ~TlsStage();
    TlsStage(const TlsStage&) = delete;
    TlsStage& operator=(const TlsStage&) = delete;

    KeyLog& keys() { return m_keys; }

    void Deliver(const CaptureRecord& header, std::span<const std::uint8_t> data,
                 Clock::time_point now);
    // Bytes of a TLS connection were not captured: what follows cannot be decrypted.
    void Lost(const CaptureRecord& header);
    // A connection's plain text comes from the hooks now: its records are no longer ours.
    void Forget(std::uint32_t connectionId);
    // Connections that wait go on once the key log has their keys, or give up past kKeyWait.
    void Poll(Clock::time_point now);
    // No more records come (an import read to its end): what still waits gives up, saying why.
    void Finish(std::string_view why);

    bool empty() const { return m_connections.empty(); }
    std::size_t waiting() const { return m_waiting.size(); }
    std::size_t waitingBytes() const { return m_waitingBytes; }

private:
    struct Connection;

    // The connection a record is of; nothing for one the hooks took over.
    Connection* Find(const CaptureRecord& header);
    void Settle(Connection& connection, Clock::time_point now);
    void Drop(std::uint32_t connectionId);
    std::vector<std::uint32_t> WaitingInOrder() const;

    KeyLog m_keys;
    Output m_output;
    std::unordered_map<std::uint32_t, std::unique_ptr<Connection>> m_connections;
    std::list<std::uint32_t> m_byUse;  // least recently used first
    std::unordered_set<std::uint32_t> m_waiting;
    // Connections whose plain text the hooks took over: their late TLS records are not ours.
    std::unordered_set<std::uint32_t> m_hooked;
    static constexpr std::size_t kMostHooked = 4096;
    std::uint64_t m_keysSeen = 0;
    std::uint64_t m_serials = 0;
    std::size_t m_waitingBytes = 0;
};

// The notice a connection that could not be decrypted is listed with.
std::string NotDecryptedNotice(std::string_view why);

}  // namespace vantor
