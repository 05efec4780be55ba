#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

#include "capture/RecordOrder.h"
#include "platform/LocalTimes.h"
#include "record/CaptureRecord.h"
#include "record/ProcessInfo.h"

struct vt_event;

namespace vantor {

// Turns the events of the system-wide capture's kernel side into capture records, each
// connection's in the order its bytes moved: the same records, extensions and lost records as
// the preload provider's, and the process on every one. Nothing in an event is trusted: a
// malformed one is counted and dropped.
class SystemRecords {
public:
    using Clock = RecordOrder::Clock;
    using RecordOutput = std::function<void(const CaptureRecord&, std::span<const std::uint8_t>)>;
    // Fills in what an event does not carry: the user's name, the cgroup's path by its id.
    using Describe = std::function<void(ProcessInfo& process, std::uint64_t cgroupId)>;

    // realtimeOffset: CLOCK_REALTIME less CLOCK_MONOTONIC, in nanoseconds, the events' times
    // being monotonic.
    SystemRecords(RecordOutput output, Describe describe, std::int64_t realtimeOffset);

    // One event as the ring buffer handed it.
    void Event(std::span<const std::uint8_t> bytes, Clock::time_point now);
    // Hands on what waited for places that never came, and forgets closed connections.
    void Expire(Clock::time_point now);
    bool Waiting() const { return m_order.Waiting() || !m_closing.empty(); }

    // Called for a process that started a program (started) or mapped code (to look for TLS
    // in it).
    std::function<void(std::uint32_t tgid, bool started)> onProgram;

    std::uint64_t malformed() const { return m_malformed; }
    std::uint64_t connections() const { return m_connections.size(); }

    // The most connections known at once; past it the ones unused longest are forgotten.
    static constexpr std::size_t kMostConnections = 65536;
    // How long a closed connection's late events are still taken as its own.
    static constexpr auto kCloseWait = std::chrono::seconds(2);

private:
    struct Key {
        std::uint64_t conn;
        std::uint32_t tgid;  // 0 for a socket (shared by the processes that hold it)
        std::uint32_t generation;
        bool plain;
        friend bool operator==(const Key&, const Key&) = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& key) const {
            return std::hash<std::uint64_t>()(key.conn * 31 + key.tgid * 7 + key.generation * 2 +
                                              key.plain);
        }
    };
    enum class Verdict { Undecided, Http, NotHttp };
    struct Connection {
        std::uint32_t id = 0;
        std::uint64_t sock = 0;
        bool server = false;  // its requests are received: the directions are turned round
        Verdict verdict = Verdict::Undecided;
        Direction last = Direction::None;  // of the record before, in order
        std::uint64_t lastUse = 0;
        // Received before anything was sent (an HTTP/2 server's SETTINGS): held until the
        // first bytes sent decide, then handed on after them.
        std::vector<std::pair<CaptureRecord, std::vector<std::uint8_t>>> early;
        std::size_t earlyBytes = 0;
    };
    // The most bytes held for a connection that is still undecided.
    static constexpr std::size_t kMostEarlyBytes = 256 * 1024;

    Connection* Find(const vt_event& event, bool create);
    // The process extension's bytes for an event's process, made once per process.
    const std::vector<std::uint8_t>& ProcessExtensionOf(const vt_event& event);
    void Offer(const vt_event& event, Connection& connection, std::span<const std::uint8_t> data,
               Clock::time_point now);
    // Hands the records now in order on, with their previous directions.
    void Flush();
    // Hands one record of a decided connection on, in order.
    void Hand(Connection& connection, CaptureRecord header, std::span<const std::uint8_t> data);
    void Forget(const Key& key);

    RecordOutput m_output;
    Describe m_describe;
    std::int64_t m_realtimeOffset;
    LocalTimes m_times;
    RecordOrder m_order;
    std::unordered_map<Key, Connection, KeyHash> m_connections;
    std::unordered_map<std::uint32_t, Connection*> m_byId;
    std::unordered_multimap<std::uint64_t, Key> m_bySock;
    std::deque<std::pair<Clock::time_point, Key>> m_closing;
    struct KnownProcess {
        std::shared_ptr<const ProcessInfo> process;
        std::vector<std::uint8_t> extension;
    };
    std::unordered_map<std::uint64_t, KnownProcess> m_processes;
    ProcessCache m_processCache;
    std::vector<std::uint8_t> m_record;  // the record being offered
    // Connections are numbered from here: apart from the preload provider's (socket inodes) and
    // from HTTP/2 streams' (down from the top), which share the document.
    std::uint32_t m_nextId = 0x40000000;
    std::uint64_t m_uses = 0;
    std::uint64_t m_malformed = 0;
};

// The user's name and the cgroup's path as this machine knows them now (cached).
SystemRecords::Describe DescribeFromSystem();

}  // namespace vantor
