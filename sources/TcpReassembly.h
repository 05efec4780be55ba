#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <span>
#include <string>
#include <unordered_map>

#include "record/Direction.h"

namespace vantor {

// One TCP endpoint: an IPv4 address is kept as an IPv4-mapped IPv6 address.
struct TcpEndpoint {
    std::array<std::uint8_t, 16> address{};
    std::uint16_t port = 0;
    bool ipv6 = false;

    friend bool operator==(const TcpEndpoint&, const TcpEndpoint&) = default;
};

// What a link-layer frame carried, when it was one TCP segment.
struct TcpSegment {
    TcpEndpoint source;
    TcpEndpoint destination;
    std::uint32_t sequence = 0;
    std::uint32_t acknowledgement = 0;
    bool syn = false;
    bool ack = false;
    bool fin = false;
    bool rst = false;
    std::span<const std::uint8_t> payload;  // as far as the frame was captured
};

// Link types, by their numbers in capture files.
inline constexpr int kLinkNull = 0;  // BSD loopback, family in the capturer's byte order
inline constexpr int kLinkEthernet = 1;
inline constexpr int kLinkRaw = 101;       // raw IPv4 or IPv6
inline constexpr int kLinkLoop = 108;      // BSD loopback, family in network byte order
inline constexpr int kLinkLinuxSll = 113;  // Linux cooked capture
inline constexpr int kLinkIpv4 = 228;
inline constexpr int kLinkIpv6 = 229;
inline constexpr int kLinkLinuxSll2 = 276;  // Linux cooked capture, version 2

// Why a frame was not a TCP segment.
enum class FrameVerdict {
    Segment,
    NotTcp,     // another protocol: nothing to count
    Fragment,   // an IP fragment: not reassembled
    Malformed,  // shorter than its headers say, or a header that makes no sense
};

// Reads a frame of the given link type (Ethernet with VLAN tags, loopback, Linux cooked v1 and
// v2, raw IP) down to its TCP segment. Never reads past frame.
FrameVerdict ParseFrame(int linkType, std::span<const std::uint8_t> frame, TcpSegment& segment);
// Whether the link type is one ParseFrame reads; the libpcap numbers of raw IP count too.
bool IsSupportedLinkType(int linkType);

// Where the reassembled streams go. Each flow that carries HTTP gets a connection id (1, 2, ...)
// and a client, the endpoint that sent the SYN or the first request line.
class FlowSink {
public:
    virtual ~FlowSink() = default;
    // In-order bytes of one side of a flow. newMessage is set for the first bytes after bytes
    // of that side went missing: they begin a message of their own.
    virtual void Bytes(std::uint32_t connectionId, const TcpEndpoint& server, Direction direction,
                       bool newMessage, std::span<const std::uint8_t> data,
                       std::int64_t timeMicroseconds) = 0;
    // count bytes that followed the bytes delivered so far on that side were not captured.
    virtual void Missing(std::uint32_t connectionId, Direction direction, std::uint64_t count) = 0;
    // The flow carries nothing more.
    virtual void Ended(std::uint32_t connectionId) = 0;
    // Told before its first bytes: the flow opens with a TLS ClientHello, its bytes are TLS
    // records (to be decrypted with logged keys), not HTTP.
    virtual void TlsFlow(std::uint32_t /*connectionId*/) {}
};

struct ReassemblyCounts {
    std::uint64_t segments = 0;
    std::uint64_t flows = 0;         // TCP flows seen
    std::uint64_t httpFlows = 0;     // of them, given to the sink as HTTP
    std::uint64_t tlsFlows = 0;      // and as TLS
    std::uint64_t missingBytes = 0;  // reported missing
    std::uint64_t gaps = 0;          // places where bytes went missing
};

// Puts the segments of many TCP flows back into order per flow and side: out-of-order segments
// wait (up to a bound), retransmitted and overlapping bytes are given once (the first copy),
// and a hole that the other side acknowledged, that the bound overran or that the flow's end
// leaves is reported missing; the side then resumes only where a segment begins a message, so
// no byte is ever given at the wrong place. Flows whose first bytes are not HTTP, or a TLS
// ClientHello, are followed no further. Memory is bounded by the open flows: at most kMostFlows
// flows (least recently used ended first) and kMostWaitingBytes out-of-order bytes in all.
class TcpReassembler {
public:
    explicit TcpReassembler(FlowSink& sink) : m_sink(sink) {}
    TcpReassembler(const TcpReassembler&) = delete;
    TcpReassembler& operator=(const TcpReassembler&) = delete;

    void Add(const TcpSegment& segment, std::int64_t timeMicroseconds);
    // Ends every open flow: what still waits behind a hole is given after it is reported.
    void Finish();

    const ReassemblyCounts& counts() const { return m_counts; }
    std::size_t openFlows() const { return m_flows.size(); }
    std::size_t waitingBytes() const { return m_waitingBytes; }

    static constexpr std::size_t kMostFlows = 65536;
    static constexpr std::size_t kMostWaitingBytes = 64u << 20;
    static constexpr std::size_t kMostWaitingPerSide = 4u << 20;

private:
    struct FlowKey {
        TcpEndpoint low;
        TcpEndpoint high;
        friend bool operator==(const FlowKey&, const FlowKey&) = default;
    };
    struct FlowKeyHash {
        std::size_t operator()(const FlowKey& key) const;
    };
    struct Side {
        bool synced = false;      // next is where this side's bytes go on
        bool seeking = false;     // bytes are dropped until a segment begins a message
        bool newMessage = false;  // the next bytes given begin a message
        bool fin = false;
        std::uint32_t next = 0;                        // sequence number of the next byte to give
        std::uint64_t given = 0;                       // bytes given
        std::map<std::uint64_t, std::string> waiting;  // by offset from next's origin
        std::uint64_t nextOffset = 0;                  // offset of next
        std::size_t waitingBytes = 0;
        std::uint64_t finOffset = 0;
    };
    struct Flow {
        FlowKey key;
        TcpEndpoint endpoints[2];  // endpoints[0] sent the first segment seen
        int client = -1;           // index of the client endpoint, -1 while unknown
        bool ignored = false;      // not HTTP: followed no further
        bool anyGiven = false;
        bool rst = false;
        std::uint32_t connectionId = 0;
        Side sides[2];
        std::list<FlowKey>::iterator use;
    };

    Flow& FlowOf(const TcpSegment& segment, int& side);
    void TakePayload(Flow& flow, int side, std::uint32_t sequence,
                     std::span<const std::uint8_t> payload, std::int64_t time);
    void TakeAcknowledgement(Flow& flow, int side, std::uint32_t acknowledgement,
                             std::int64_t time);
    void Give(Flow& flow, int side, std::span<const std::uint8_t> data, std::int64_t time);
    void Drain(Flow& flow, int side, std::int64_t time);
    // Reports the bytes from next up to offset missing; the side then resumes where a segment
    // begins a message.
    void SkipHole(Flow& flow, int side, std::uint64_t offset, std::int64_t time);
    void Forget(Side& side);
    void End(Flow& flow, std::int64_t time);
    bool BeginsMessage(const Flow& flow, int side, std::span<const std::uint8_t> data) const;
    void Ignore(Flow& flow);

    FlowSink& m_sink;
    std::unordered_map<FlowKey, Flow, FlowKeyHash> m_flows;
    std::list<FlowKey> m_byUse;  // least recently used first
    std::size_t m_waitingBytes = 0;
    std::uint32_t m_nextConnectionId = 1;
    std::int64_t m_lastTime = 0;
    ReassemblyCounts m_counts;
};

}  // namespace vantor
