#include "sources/TcpReassembly.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "http/MessageStart.h"

namespace vantor {

namespace {

std::uint16_t Read16(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

std::uint32_t Read32(std::span<const std::uint8_t> bytes, std::size_t at) {
    return (static_cast<std::uint32_t>(bytes[at]) << 24) |
           (static_cast<std::uint32_t>(bytes[at + 1]) << 16) |
           (static_cast<std::uint32_t>(bytes[at + 2]) << 8) | bytes[at + 3];
}

constexpr std::uint16_t kEtherIpv4 = 0x0800;
constexpr std::uint16_t kEtherIpv6 = 0x86DD;
constexpr std::uint16_t kEtherVlan = 0x8100;
constexpr std::uint16_t kEtherQinQ = 0x88A8;
constexpr std::uint16_t kEtherQinQOld = 0x9100;
constexpr std::uint8_t kProtocolTcp = 6;

FrameVerdict ParseTcp(std::span<const std::uint8_t> bytes, std::size_t claimedLength,
                      TcpSegment& segment) {
    if (bytes.size() < 20) {
        return FrameVerdict::Malformed;
    }
    const std::size_t headerLength = static_cast<std::size_t>(bytes[12] >> 4) * 4;
    if (headerLength < 20 || headerLength > bytes.size() || headerLength > claimedLength) {
        return FrameVerdict::Malformed;
    }
    segment.source.port = Read16(bytes, 0);
    segment.destination.port = Read16(bytes, 2);
    segment.sequence = Read32(bytes, 4);
    segment.acknowledgement = Read32(bytes, 8);
    const std::uint8_t flags = bytes[13];
    segment.fin = (flags & 0x01) != 0;
    segment.syn = (flags & 0x02) != 0;
    segment.rst = (flags & 0x04) != 0;
    segment.ack = (flags & 0x10) != 0;
    // The payload as far as it was captured, and never past what the IP header claims (a frame
    // may carry padding after it).
    const std::size_t end = std::min(bytes.size(), claimedLength);
    segment.payload = bytes.subspan(headerLength, end - headerLength);
    return FrameVerdict::Segment;
}

FrameVerdict ParseIpv4(std::span<const std::uint8_t> bytes, TcpSegment& segment) {
    if (bytes.size() < 20 || (bytes[0] >> 4) != 4) {
        return FrameVerdict::Malformed;
    }
    const std::size_t headerLength = static_cast<std::size_t>(bytes[0] & 0x0F) * 4;
    std::size_t totalLength = Read16(bytes, 2);
    if (totalLength == 0) {
        totalLength = bytes.size();  // a segment the sender's card was to split (TSO) says 0
    }
    if (headerLength < 20 || headerLength > bytes.size() || totalLength < headerLength) {
        return FrameVerdict::Malformed;
    }
    if (bytes[9] != kProtocolTcp) {
        return FrameVerdict::NotTcp;
    }
    const std::uint16_t fragment = Read16(bytes, 6);
    if ((fragment & 0x2000) != 0 || (fragment & 0x1FFF) != 0) {
        return FrameVerdict::Fragment;
    }
    segment.source = {};
    segment.destination = {};
    segment.source.address[10] = segment.source.address[11] = 0xFF;
    segment.destination.address[10] = segment.destination.address[11] = 0xFF;
    std::memcpy(segment.source.address.data() + 12, bytes.data() + 12, 4);
    std::memcpy(segment.destination.address.data() + 12, bytes.data() + 16, 4);
    return ParseTcp(bytes.subspan(headerLength), totalLength - headerLength, segment);
}

FrameVerdict ParseIpv6(std::span<const std::uint8_t> bytes, TcpSegment& segment) {
    if (bytes.size() < 40 || (bytes[0] >> 4) != 6) {
        return FrameVerdict::Malformed;
    }
    std::size_t remaining = Read16(bytes, 4);  // after the fixed header
    if (remaining == 0) {
        remaining = bytes.size() - 40;  // a jumbogram, or a segment yet to be split (TSO)
    }
    std::uint8_t next = bytes[6];
    std::size_t at = 40;
    // Extension headers: hop-by-hop, routing, destination options; a fragment is not followed.
    for (int hops = 0; hops < 16; ++hops) {
        if (next == kProtocolTcp) {
            segment.source = {};
            segment.destination = {};
            segment.source.ipv6 = segment.destination.ipv6 = true;
            std::memcpy(segment.source.address.data(), bytes.data() + 8, 16);
            std::memcpy(segment.destination.address.data(), bytes.data() + 24, 16);
            return ParseTcp(bytes.subspan(at), remaining, segment);
        }
        if (next == 44) {
            return FrameVerdict::Fragment;
        }
        if (next != 0 && next != 43 && next != 60) {
            return FrameVerdict::NotTcp;
        }
        if (at + 8 > bytes.size()) {
            return FrameVerdict::Malformed;
        }
        const std::size_t length = (static_cast<std::size_t>(bytes[at + 1]) + 1) * 8;
        if (length > remaining || at + length > bytes.size()) {
            return FrameVerdict::Malformed;
        }
        next = bytes[at];
        at += length;
        remaining -= length;
    }
    return FrameVerdict::Malformed;
}

FrameVerdict ParseIp(std::span<const std::uint8_t> bytes, TcpSegment& segment) {
    if (bytes.empty()) {
        return FrameVerdict::Malformed;
    }
    switch (bytes[0] >> 4) {
        case 4:
            return ParseIpv4(bytes, segment);
        case 6:
            return ParseIpv6(bytes, segment);
        default:
            return FrameVerdict::NotTcp;
    }
}

FrameVerdict ParseEtherType(std::uint16_t type, std::span<const std::uint8_t> bytes,
                            TcpSegment& segment) {
    // VLAN tags, stacked (802.1ad and the older 0x9100 too).
    for (int tags = 0; type == kEtherVlan || type == kEtherQinQ || type == kEtherQinQOld; ++tags) {
        if (tags == 8 || bytes.size() < 4) {
            return FrameVerdict::Malformed;
        }
        type = Read16(bytes, 2);
        bytes = bytes.subspan(4);
    }
    switch (type) {
        case kEtherIpv4:
            return ParseIpv4(bytes, segment);
        case kEtherIpv6:
            return ParseIpv6(bytes, segment);
        default:
            return FrameVerdict::NotTcp;
    }
}

// Address families a BSD loopback header names: AF_INET, and AF_INET6 of the BSDs and macOS.
FrameVerdict ParseLoopbackFamily(std::uint32_t family, std::span<const std::uint8_t> bytes,
                                 TcpSegment& segment) {
    switch (family) {
        case 2:
            return ParseIpv4(bytes, segment);
        case 10:
        case 24:
        case 28:
        case 30:
            return ParseIpv6(bytes, segment);
        default:
            return FrameVerdict::NotTcp;
    }
}

}  // namespace

bool IsSupportedLinkType(int linkType) {
    switch (linkType) {
        case kLinkNull:
        case kLinkEthernet:
        case kLinkRaw:
        case 12:  // libpcap's DLT_RAW
        case 14:  // DLT_RAW on OpenBSD
        case kLinkLoop:
        case kLinkLinuxSll:
        case kLinkIpv4:
        case kLinkIpv6:
        case kLinkLinuxSll2:
            return true;
        default:
            return false;
    }
}

FrameVerdict ParseFrame(int linkType, std::span<const std::uint8_t> frame, TcpSegment& segment) {
    switch (linkType) {
        case kLinkEthernet:
            if (frame.size() < 14) {
                return FrameVerdict::Malformed;
            }
            return ParseEtherType(Read16(frame, 12), frame.subspan(14), segment);
        case kLinkNull: {
            if (frame.size() < 4) {
                return FrameVerdict::Malformed;
            }
            // In the byte order of the machine that captured: the small number is the family.
            const std::uint32_t big = Read32(frame, 0);
            const std::uint32_t little =
                (big >> 24) | ((big >> 8) & 0xFF00) | ((big << 8) & 0xFF0000) | (big << 24);
            return ParseLoopbackFamily(std::min(big, little), frame.subspan(4), segment);
        }
        case kLinkLoop:
            if (frame.size() < 4) {
                return FrameVerdict::Malformed;
            }
            return ParseLoopbackFamily(Read32(frame, 0), frame.subspan(4), segment);
        case kLinkLinuxSll:
            if (frame.size() < 16) {
                return FrameVerdict::Malformed;
            }
            return ParseEtherType(Read16(frame, 14), frame.subspan(16), segment);
        case kLinkLinuxSll2:
            if (frame.size() < 20) {
                return FrameVerdict::Malformed;
            }
            return ParseEtherType(Read16(frame, 0), frame.subspan(20), segment);
        case kLinkRaw:
        case 12:
        case 14:
            return ParseIp(frame, segment);
        case kLinkIpv4:
            return ParseIpv4(frame, segment);
        case kLinkIpv6:
            return ParseIpv6(frame, segment);
        default:
            return FrameVerdict::NotTcp;
    }
}

std::size_t TcpReassembler::FlowKeyHash::operator()(const FlowKey& key) const {
    // FNV-1a over both endpoints.
    std::uint64_t hash = 1469598103934665603ull;
    auto mix = [&hash](const TcpEndpoint& endpoint) {
        for (const std::uint8_t byte : endpoint.address) {
            hash = (hash ^ byte) * 1099511628211ull;
        }
        hash = (hash ^ endpoint.port) * 1099511628211ull;
    };
    mix(key.low);
    mix(key.high);
    return static_cast<std::size_t>(hash);
}

namespace {

bool Before(const TcpEndpoint& a, const TcpEndpoint& b) {
    const int order = std::memcmp(a.address.data(), b.address.data(), a.address.size());
    return order < 0 || (order == 0 && a.port < b.port);
}

}  // namespace

TcpReassembler::Flow& TcpReassembler::FlowOf(const TcpSegment& segment, int& side) {
    FlowKey key;
    if (Before(segment.source, segment.destination)) {
        key = {segment.source, segment.destination};
    } else {
        key = {segment.destination, segment.source};
    }
    auto found = m_flows.find(key);
    if (found == m_flows.end()) {
        if (m_flows.size() >= kMostFlows) {
            End(m_flows.at(m_byUse.front()), m_lastTime);
        }
        found = m_flows.emplace(key, Flow{}).first;
        Flow& flow = found->second;
        flow.key = key;
        flow.endpoints[0] = segment.source;
        flow.endpoints[1] = segment.destination;
        flow.use = m_byUse.insert(m_byUse.end(), key);
        ++m_counts.flows;
    } else {
        m_byUse.splice(m_byUse.end(), m_byUse, found->second.use);
    }
    Flow& flow = found->second;
    side = flow.endpoints[0] == segment.source ? 0 : 1;
    return flow;
}

void TcpReassembler::Add(const TcpSegment& segment, std::int64_t timeMicroseconds) {
    m_lastTime = timeMicroseconds;
    ++m_counts.segments;
    if (segment.source == segment.destination) {
        return;
    }
    if (!segment.syn && segment.payload.empty() && !segment.rst) {
        // An acknowledgement or a FIN alone: it can matter only to a flow already followed.
        FlowKey key = Before(segment.source, segment.destination)
                          ? FlowKey{segment.source, segment.destination}
                          : FlowKey{segment.destination, segment.source};
        if (!m_flows.contains(key)) {
            return;
        }
    }
    int side = 0;
    Flow* flow = &FlowOf(segment, side);
    // A SYN on ports whose flow has carried bytes begins a new connection on them.
    if (segment.syn && !segment.ack && (flow->anyGiven || flow->sides[side].given > 0)) {
        End(*flow, timeMicroseconds);
        flow = &FlowOf(segment, side);
    }
    if (flow->ignored) {
        flow->sides[side].fin = flow->sides[side].fin || segment.fin;
        if (segment.rst || (flow->sides[0].fin && flow->sides[1].fin)) {
            End(*flow, timeMicroseconds);
        }
        return;
    }
    Side& me = flow->sides[side];
    std::uint32_t sequence = segment.sequence;
    if (segment.syn) {
        flow->client = segment.ack ? 1 - side : side;
        if (!me.synced && me.given == 0) {
            me.synced = true;
            me.next = sequence + 1;
            me.nextOffset = 0;
        }
        sequence += 1;  // data on a SYN follow its sequence number
    }
    // What the other side acknowledged first: bytes of it that never showed are missing before
    // anything this segment carries.
    if (segment.ack) {
        TakeAcknowledgement(*flow, 1 - side, segment.acknowledgement, timeMicroseconds);
    }
    if (!flow->ignored && !segment.payload.empty()) {
        TakePayload(*flow, side, sequence, segment.payload, timeMicroseconds);
    }
    if (segment.fin && !me.fin) {
        me.fin = true;
        if (me.synced) {
            const auto ahead =
                static_cast<std::int32_t>(sequence + segment.payload.size() - me.next);
            me.finOffset =
                ahead > 0 ? me.nextOffset + static_cast<std::uint64_t>(ahead) : me.nextOffset;
        }
    }
    const auto done = [](const Side& s) { return s.fin && s.waiting.empty(); };
    if (segment.rst || (!flow->ignored && done(flow->sides[0]) && done(flow->sides[1]))) {
        End(*flow, timeMicroseconds);
    }
}

void TcpReassembler::TakeAcknowledgement(Flow& flow, int side, std::uint32_t acknowledgement,
                                         std::int64_t time) {
    Side& other = flow.sides[side];
    if (!other.synced || flow.ignored) {
        return;
    }
    const auto ahead = static_cast<std::int32_t>(acknowledgement - other.next);
    if (ahead <= 0) {
        return;
    }
    std::uint64_t acknowledged = other.nextOffset + static_cast<std::uint64_t>(ahead);
    if (other.fin) {
        acknowledged = std::min(acknowledged, other.finOffset);  // a FIN takes a number too
    }
    if (!other.waiting.empty()) {
        acknowledged = std::min(acknowledged, other.waiting.begin()->first);
    }
    if (acknowledged > other.nextOffset) {
        SkipHole(flow, side, acknowledged, time);
    }
}

void TcpReassembler::TakePayload(Flow& flow, int side, std::uint32_t sequence,
                                 std::span<const std::uint8_t> payload, std::int64_t time) {
    Side& me = flow.sides[side];
    if (!me.synced) {
        // A flow seen from its middle: this side begins where a segment begins a message.
        me.synced = true;
        me.seeking = true;
        me.next = sequence;
    }
    const auto relative = static_cast<std::int32_t>(sequence - me.next);
    if (relative < 0 &&
        static_cast<std::uint64_t>(-static_cast<std::int64_t>(relative)) >= payload.size()) {
        return;  // all of it was given already: a retransmission
    }
    if (relative <= 0) {
        const auto seen = static_cast<std::size_t>(-static_cast<std::int64_t>(relative));
        Give(flow, side, payload.subspan(seen), time);
        Drain(flow, side, time);
        return;
    }
    // Ahead of a hole: it waits for the hole to fill.
    const std::uint64_t offset = me.nextOffset + static_cast<std::uint64_t>(relative);
    auto [found, inserted] = me.waiting.try_emplace(offset);
    if (inserted || found->second.size() < payload.size()) {
        const std::size_t before = found->second.size();
        found->second.assign(payload.begin(), payload.end());
        me.waitingBytes += payload.size() - before;
        m_waitingBytes += payload.size() - before;
    }
    if (me.waitingBytes > kMostWaitingPerSide || m_waitingBytes > kMostWaitingBytes) {
        SkipHole(flow, side, me.waiting.begin()->first, time);
    }
}

void TcpReassembler::Give(Flow& flow, int side, std::span<const std::uint8_t> data,
                          std::int64_t time) {
    if (data.empty()) {
        return;
    }
    Side& me = flow.sides[side];
    if (me.seeking) {
        if (!BeginsMessage(flow, side, data)) {
            me.next += static_cast<std::uint32_t>(data.size());
            me.nextOffset += data.size();
            return;
        }
        if (flow.client < 0) {
            flow.client = LooksLikeRequestStart(data) ? side : 1 - side;
        }
        me.seeking = false;
        me.newMessage = me.given > 0;
    }
    if (!flow.anyGiven) {
        // The first bytes of a flow tell whether it carries HTTP, or TLS (a handshake record
        // with a ClientHello, from the client).
        const bool tls = side == flow.client && data.size() >= 6 && data[0] == 0x16 &&
                         data[1] == 0x03 && data[2] <= 0x04 && data[5] == 0x01;
        const bool http =
            side == flow.client ? LooksLikeRequestStart(data) : LooksLikeResponseStart(data);
        if (!http && !tls) {
            Ignore(flow);
            return;
        }
        flow.anyGiven = true;
        flow.connectionId = m_nextConnectionId++;
        if (tls) {
            ++m_counts.tlsFlows;
            m_sink.TlsFlow(flow.connectionId);
        } else {
            ++m_counts.httpFlows;
        }
    }
    const bool fromClient = side == flow.client;
    m_sink.Bytes(flow.connectionId, flow.endpoints[fromClient ? 1 - side : side],
                 fromClient ? Direction::Sent : Direction::Received, me.newMessage, data, time);
    me.newMessage = false;
    me.next += static_cast<std::uint32_t>(data.size());
    me.nextOffset += data.size();
    me.given += data.size();
}

void TcpReassembler::Drain(Flow& flow, int side, std::int64_t time) {
    Side& me = flow.sides[side];
    while (!me.waiting.empty() && !flow.ignored) {
        auto first = me.waiting.begin();
        if (first->first > me.nextOffset) {
            return;
        }
        const std::uint64_t offset = first->first;
        const std::string bytes = std::move(first->second);
        me.waiting.erase(first);
        me.waitingBytes -= bytes.size();
        m_waitingBytes -= bytes.size();
        if (offset + bytes.size() > me.nextOffset) {
            const auto* start = reinterpret_cast<const std::uint8_t*>(bytes.data());
            Give(flow, side,
                 std::span(start + (me.nextOffset - offset), offset + bytes.size() - me.nextOffset),
                 time);
        }
    }
}

bool TcpReassembler::BeginsMessage(const Flow& flow, int side,
                                   std::span<const std::uint8_t> data) const {
    if (flow.client < 0) {
        return LooksLikeRequestStart(data) || LooksLikeResponseStart(data);
    }
    return side == flow.client ? LooksLikeRequestStart(data) : LooksLikeResponseStart(data);
}

void TcpReassembler::SkipHole(Flow& flow, int side, std::uint64_t offset, std::int64_t time) {
    Side& me = flow.sides[side];
    const std::uint64_t hole = offset - me.nextOffset;
    if (hole > 0) {
        m_counts.missingBytes += hole;
        ++m_counts.gaps;
        // Told to the message the hole cut: none while the side looks for a message to begin.
        if (flow.connectionId != 0 && !me.seeking && me.given > 0) {
            m_sink.Missing(flow.connectionId,
                           side == flow.client ? Direction::Sent : Direction::Received, hole);
        }
    }
    me.next += static_cast<std::uint32_t>(hole);
    me.nextOffset = offset;
    // The bytes after a hole cannot go on the message it cut: the side resumes where a segment
    // begins a message.
    me.seeking = true;
    Drain(flow, side, time);
}

void TcpReassembler::Forget(Side& side) {
    m_waitingBytes -= side.waitingBytes;
    side.waitingBytes = 0;
    side.waiting.clear();
}

void TcpReassembler::Ignore(Flow& flow) {
    flow.ignored = true;
    Forget(flow.sides[0]);
    Forget(flow.sides[1]);
}

void TcpReassembler::End(Flow& flow, std::int64_t time) {
    for (int side = 0; side < 2; ++side) {
        while (!flow.ignored && !flow.sides[side].waiting.empty()) {
            SkipHole(flow, side, flow.sides[side].waiting.begin()->first, time);
        }
        Forget(flow.sides[side]);
    }
    if (flow.connectionId != 0) {
        m_sink.Ended(flow.connectionId);
    }
    m_byUse.erase(flow.use);
    const FlowKey key = flow.key;
    m_flows.erase(key);
}

void TcpReassembler::Finish() {
    while (!m_byUse.empty()) {
        End(m_flows.at(m_byUse.front()), m_lastTime);
    }
}

}  // namespace vantor
