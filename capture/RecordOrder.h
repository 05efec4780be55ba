#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "capture/CaptureDispatch.h"

namespace vantor {

// Puts the records of each connection in the order their bytes moved, whichever ring (process)
// or pass they were collected in: every record carries its place among its connection's records
// (a sequence number, in providerData), and a lost record stands for places that could not be
// written. A record that comes before its turn waits, copied, for the places before it; a gap
// that nothing fills within kGapWait (a writer that died half way, a loss that could not be
// noted) becomes a lost record of unknown size, told in its place. A connection first seen part
// way (capture started while it was open) waits kStartWait for earlier places, then starts at
// the first one it has.
//
// Memory stays bounded whatever the writers send: at most kMostHeldBytes wait per connection
// and kMostHeldInAll in all (past that the gaps of the connection, or of the one waiting
// longest, are given up), and at most kMostConnections are known (the one unused longest is
// forgotten, its waiting records released).
class RecordOrder {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr auto kStartWait = std::chrono::milliseconds(50);
    static constexpr auto kGapWait = std::chrono::milliseconds(2000);
    static constexpr std::size_t kMostHeldBytes = 32u << 20;
    static constexpr std::size_t kMostHeldInAll = 128u << 20;
    static constexpr std::size_t kMostConnections = 65536;

    // Takes a record collected from a ring (its data still in the ring): it goes to ready now,
    // with any records that waited for it, or waits (copied).
    void Offer(const PendingRecord& record, Clock::time_point now);
    // Releases the records whose wait is over by now.
    void Expire(Clock::time_point now);
    // The records ready for dispatch, in order; their data stay valid until the next Offer or
    // Expire after Dispatched.
    std::vector<PendingRecord>& ready() { return m_ready; }
    // The ready records were dispatched: their copies may go.
    void Dispatched();
    // Whether records wait, and when the first wait ends.
    bool Waiting() const { return !m_waiting.empty(); }
    Clock::time_point NextExpiry() const;

private:
    struct Held {
        std::uint32_t sequence;
        std::uint32_t count;  // places it stands for
        CaptureRecord header;
        std::vector<std::uint8_t> data;
    };
    struct Connection {
        std::uint32_t id = 0;
        bool started = false;
        std::uint32_t next = 0;  // the place expected next, once started
        std::vector<Held> held;  // in order of their places
        std::size_t heldBytes = 0;
        Clock::time_point since{};  // when the first of them came
        std::list<std::uint32_t>::iterator use;
    };

    Connection& Find(std::uint32_t connectionId);
    void Hold(Connection& connection, const PendingRecord& record, std::uint32_t count,
              Clock::time_point now);
    // Hands the waiting records that are next in turn on.
    void Drain(Connection& connection);
    // Gives the gap before the first waiting record up: told as lost, then on in order.
    void GiveUpGap(Connection& connection);
    void Ready(const CaptureRecord& header, std::span<const std::uint8_t> data);
    void ReadyOwned(Held&& held);
    void Forget(std::uint32_t connectionId);

    std::unordered_map<std::uint32_t, Connection> m_connections;
    std::list<std::uint32_t> m_byUse;  // least recently used first
    std::unordered_set<std::uint32_t> m_waiting;  // connections with records waiting
    std::size_t m_heldInAll = 0;
    std::vector<PendingRecord> m_ready;
    std::deque<std::vector<std::uint8_t>> m_owned;  // data of ready records that waited
};

// The places a record stands for: 1, or the count a lost record carries.
std::uint32_t PlacesOf(const PendingRecord& record);

}  // namespace vantor
