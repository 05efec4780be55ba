#include "capture/RecordOrder.h"

#include <algorithm>

#include "capture/ChannelLayout.h"
#include "platform/Endian.h"

namespace vantor {

namespace {

// How far place a is after place b (negative: before), in the 32 bits places travel in.
std::int32_t After(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(a - b);
}

// What a lost record of unknown size says, in the peer's form (an IPv6 peer's address first).
std::vector<std::uint8_t> UnknownLoss(const CaptureRecord& header,
                                      std::span<const std::uint8_t> data, std::uint32_t count) {
    std::vector<std::uint8_t> lost;
    if (header.peerAddress.family == kAddressFamilyInet6) {
        if (data.size() < kPeerExtensionSize) {
            return {};
        }
        lost.assign(data.begin(), data.begin() + kPeerExtensionSize);
    }
    const std::size_t at = lost.size();
    lost.resize(at + VANTOR_LOST_DATA_SIZE);
    StoreLE32(std::span<std::uint8_t, 4>(lost.data() + at + VANTOR_LOST_COUNT_OFFSET, 4), count);
    // The sizes are not known; the last lost record went the way the next one came from.
    StoreLE32(std::span<std::uint8_t, 4>(lost.data() + at + VANTOR_LOST_FLAGS_OFFSET, 4),
              (static_cast<std::uint32_t>(header.previousDirection) & 0xFFu) << VANTOR_LOST_LAST_SHIFT);
    return lost;
}

}  // namespace

std::uint32_t PlacesOf(const PendingRecord& record) {
    if (record.header.direction != Direction::Lost) {
        return 1;
    }
    // Its count follows the extensions (an IPv6 peer's, the process).
    const std::optional<std::size_t> extensions = ExtensionsLength(record.header, record.data);
    if (!extensions || record.data.size() < *extensions + VANTOR_LOST_DATA_SIZE) {
        return 1;
    }
    const std::size_t at = *extensions;
    const std::uint32_t count = LoadLE32(std::span<const std::uint8_t, 4>(
        record.data.data() + at + VANTOR_LOST_COUNT_OFFSET, 4));
    return std::max<std::uint32_t>(count, 1);
}

RecordOrder::Connection& RecordOrder::Find(std::uint32_t connectionId) {
    auto found = m_connections.find(connectionId);
    if (found != m_connections.end()) {
        m_byUse.splice(m_byUse.end(), m_byUse, found->second.use);
        return found->second;
    }
    if (m_connections.size() >= kMostConnections) {
        Forget(m_byUse.front());
    }
    found = m_connections.emplace(connectionId, Connection{}).first;
    found->second.id = connectionId;
    found->second.use = m_byUse.insert(m_byUse.end(), connectionId);
    return found->second;
}

void RecordOrder::Forget(std::uint32_t connectionId) {
    const auto found = m_connections.find(connectionId);
    if (found == m_connections.end()) {
        return;
    }
    Connection& connection = found->second;
    connection.started = true;
    while (!connection.held.empty()) {
        GiveUpGap(connection);
    }
    m_waiting.erase(connectionId);
    m_byUse.erase(connection.use);
    m_connections.erase(found);
}

void RecordOrder::Ready(const CaptureRecord& header, std::span<const std::uint8_t> data) {
    m_ready.push_back({header, data});
}

void RecordOrder::ReadyOwned(Held&& held) {
    m_owned.push_back(std::move(held.data));
    m_ready.push_back({held.header, m_owned.back()});
}

void RecordOrder::Hold(Connection& connection, const PendingRecord& record, std::uint32_t count,
                       Clock::time_point now) {
    Held held{record.header.providerData, count, record.header,
              std::vector<std::uint8_t>(record.data.begin(), record.data.end())};
    // In order of places, counted from the one expected (or the first waiting, before a start).
    const std::uint32_t base = connection.started    ? connection.next
                               : connection.held.empty() ? held.sequence
                                                        : connection.held.front().sequence;
    const auto at = std::upper_bound(
        connection.held.begin(), connection.held.end(), held.sequence,
        [base](std::uint32_t sequence, const Held& other) {
            return After(sequence, base) < After(other.sequence, base);
        });
    if (connection.held.empty()) {
        connection.since = now;
        m_waiting.insert(connection.id);
    }
    connection.heldBytes += held.data.size();
    m_heldInAll += held.data.size();
    connection.held.insert(at, std::move(held));
}

void RecordOrder::Drain(Connection& connection) {
    while (!connection.held.empty()) {
        Held& first = connection.held.front();
        if (After(first.sequence, connection.next) > 0) {
            break;
        }
        const std::uint32_t end = first.sequence + first.count;
        if (After(end, connection.next) > 0) {
            connection.next = end;
        }
        connection.heldBytes -= first.data.size();
        m_heldInAll -= first.data.size();
        ReadyOwned(std::move(first));
        connection.held.erase(connection.held.begin());
    }
    if (connection.held.empty()) {
        m_waiting.erase(connection.id);
    }
}

void RecordOrder::GiveUpGap(Connection& connection) {
    if (connection.held.empty()) {
        return;
    }
    const Held& first = connection.held.front();
    if (const std::int32_t gap = After(first.sequence, connection.next); gap > 0) {
        // Told in its place: what was lost came before the first record that waited, in the
        // direction that record's previous direction names.
        std::vector<std::uint8_t> lost =
            UnknownLoss(first.header, first.data, static_cast<std::uint32_t>(gap));
        if (!lost.empty()) {
            Held told{connection.next, static_cast<std::uint32_t>(gap), first.header,
                      std::move(lost)};
            told.header.direction = Direction::Lost;
            told.header.providerData = connection.next;
            told.header.dataLength = static_cast<std::uint32_t>(told.data.size());
            ReadyOwned(std::move(told));
        }
        connection.next = first.sequence;
    }
    Drain(connection);
}

void RecordOrder::Offer(const PendingRecord& record, Clock::time_point now) {
    const CaptureRecord& header = record.header;
    const std::uint32_t sequence = header.providerData;
    const std::uint32_t count = PlacesOf(record);
    Connection& connection = Find(header.connectionId);
    if (header.direction != Direction::Lost &&
        header.previousDirection == Direction::None) {
        // A socket's first record. Records waiting for a start are this socket's later ones;
        // records of a started connection are an earlier socket's of the same number.
        if (connection.started) {
            while (!connection.held.empty()) {
                GiveUpGap(connection);
            }
        }
        connection.started = true;
        connection.next = sequence;
    }
    if (!connection.started) {
        Hold(connection, record, count, now);
        return;
    }
    const std::int32_t ahead = After(sequence, connection.next);
    if (ahead > 0) {
        Hold(connection, record, count, now);
        if (connection.heldBytes > kMostHeldBytes) {
            GiveUpGap(connection);
        }
        if (m_heldInAll > kMostHeldInAll) {
            // The connection waiting longest gives its gaps up.
            Connection* oldest = nullptr;
            for (const std::uint32_t id : m_waiting) {
                Connection& other = m_connections.at(id);
                if (oldest == nullptr || other.since < oldest->since) {
                    oldest = &other;
                }
            }
            oldest->started = true;
            while (!oldest->held.empty()) {
                GiveUpGap(*oldest);
            }
        }
        return;
    }
    // Its turn, or late (a gap given up before it came): on as it is.
    if (const std::uint32_t end = sequence + count; After(end, connection.next) > 0) {
        connection.next = end;
    }
    Ready(header, record.data);
    Drain(connection);
    if (!connection.held.empty()) {
        connection.since = now;
    }
}

void RecordOrder::Expire(Clock::time_point now) {
    if (m_waiting.empty()) {
        return;
    }
    // A copy: releasing records changes what waits.
    const std::vector<std::uint32_t> waiting(m_waiting.begin(), m_waiting.end());
    for (const std::uint32_t id : waiting) {
        Connection& connection = m_connections.at(id);
        if (connection.held.empty()) {
            continue;
        }
        if (!connection.started) {
            if (now - connection.since >= kStartWait) {
                connection.started = true;
                connection.next = connection.held.front().sequence;
                Drain(connection);
            }
        } else if (now - connection.since >= kGapWait) {
            GiveUpGap(connection);
            connection.since = now;
        }
    }
}

RecordOrder::Clock::time_point RecordOrder::NextExpiry() const {
    Clock::time_point next = Clock::time_point::max();
    for (const std::uint32_t id : m_waiting) {
        const Connection& connection = m_connections.at(id);
        next = std::min(next, connection.since + (connection.started ? kGapWait : kStartWait));
    }
    return next;
}

void RecordOrder::Dispatched() {
    m_ready.clear();
    m_owned.clear();
}

}  // namespace vantor
