#include "protocol/tls/TlsStage.h"

#include <algorithm>

#include "http/MessageStart.h"
#include "protocol/tls/TlsDecoder.h"

namespace vantor {

std::string NotDecryptedNotice(std::string_view why) {
    return "[TLS, not decrypted: " + std::string(why) + "]";
}

struct TlsStage::Connection : TlsPlainSink {
    Connection(TlsStage& owner, const KeyLog& keys) : stage(owner), decoder(keys, *this) {}

    void Plain(Direction direction, std::span<const std::uint8_t> bytes) override {
        if (dropped) {
            return;
        }
        if (last == Direction::None) {
            if (direction == Direction::Received) {
                // A server that speaks first (HTTP/2's SETTINGS, sent with its Finished): held
                // until the client's first bytes tell whether this is HTTP.
                early.insert(early.end(), bytes.begin(), bytes.end());
                dropped = early.size() > kMostEarlyBytes;
                return;
            }
            if (!BeginsRequestLine(bytes)) {
                dropped = true;  // not HTTP: not ours to list
                return;
            }
            Hand(direction, bytes);
            if (!early.empty()) {
                Hand(Direction::Received, early);
                early = {};
            }
            return;
        }
        Hand(direction, bytes);
    }

    void Hand(Direction direction, std::span<const std::uint8_t> bytes) {
        CaptureRecord plain = header;
        plain.tls = false;
        plain.tlsText = TlsText::Decrypted;
        plain.direction = direction;
        plain.previousDirection = last;
        plain.dataLength = static_cast<std::uint32_t>(bytes.size());
        last = direction;
        stage.m_output(plain, bytes);
    }

    // Tells why once, after whatever plain text went before it.
    void Notice() {
        if (told || dropped) {
            return;
        }
        told = true;
        const std::string text = NotDecryptedNotice(decoder.failure());
        CaptureRecord plain = header;
        plain.tls = false;
        plain.direction = last == Direction::Received ? Direction::Received : Direction::Sent;
        plain.previousDirection = last;
        plain.dataLength = static_cast<std::uint32_t>(text.size());
        last = plain.direction;
        stage.m_output(plain,
                       std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    }

    TlsStage& stage;
    TlsDecoder decoder;
    CaptureRecord header;  // of the record being read: its time and peer go with the plain text
    Direction last = Direction::None;
    std::vector<std::uint8_t> early;  // received before the client's first bytes
    static constexpr std::size_t kMostEarlyBytes = 64 * 1024;
    bool dropped = false;
    bool told = false;
    Clock::time_point waitingSince{};
    std::uint64_t serial = 0;  // connections that wait go on in the order they began
    std::size_t counted = 0;   // its bytes waiting for keys, as the stage counts them
    std::list<std::uint32_t>::iterator use;
};

TlsStage::TlsStage(Output output) : m_output(std::move(output)) {}

TlsStage::~TlsStage() = default;

TlsStage::Connection* TlsStage::Find(const CaptureRecord& header) {
    const bool first = header.previousDirection == Direction::None;
    if (!first && m_hooked.count(header.connectionId) != 0) {
        return nullptr;
    }
    auto found = m_connections.find(header.connectionId);
    if (found != m_connections.end() && !first) {
        m_byUse.splice(m_byUse.end(), m_byUse, found->second->use);
        return found->second.get();
    }
    // A socket's first record starts the connection afresh (an id may be used again).
    m_hooked.erase(header.connectionId);
    Drop(header.connectionId);
    if (m_connections.size() >= kMostConnections) {
        Drop(m_byUse.front());
    }
    auto connection = std::make_unique<Connection>(*this, m_keys);
    connection->serial = ++m_serials;
    connection->use = m_byUse.insert(m_byUse.end(), header.connectionId);
    return m_connections.emplace(header.connectionId, std::move(connection)).first->second.get();
}

void TlsStage::Drop(std::uint32_t connectionId) {
    const auto found = m_connections.find(connectionId);
    if (found != m_connections.end()) {
        m_byUse.erase(found->second->use);
        m_waiting.erase(connectionId);
        m_waitingBytes -= found->second->counted;
        m_connections.erase(found);
    }
}

void TlsStage::Deliver(const CaptureRecord& header, std::span<const std::uint8_t> data,
                       Clock::time_point now) {
    Connection* found = Find(header);
    if (found == nullptr || found->decoder.failed() || found->dropped) {
        return;
    }
    Connection& connection = *found;
    connection.header = header;
    const bool wasWaiting = connection.decoder.waiting();
    connection.decoder.Feed(header.direction, data);
    if (!wasWaiting) {
        connection.waitingSince = now;
    }
    Settle(connection, now);
    while (m_waitingBytes > kMostWaitingInAll) {
        Connection& oldest = *m_connections.at(WaitingInOrder().front());
        oldest.decoder.GiveUp("too many bytes of connections waited for their keys");
        Settle(oldest, now);
    }
}

void TlsStage::Settle(Connection& connection, Clock::time_point now) {
    const std::uint32_t id = connection.header.connectionId;
    if (connection.decoder.waiting() && now - connection.waitingSince >= kKeyWait) {
        connection.decoder.GiveUp("its keys were not logged within " +
                                  std::to_string(kKeyWait.count()) + " s");
    }
    if (connection.decoder.failed()) {
        connection.Notice();
    }
    if (connection.decoder.waiting()) {
        m_waiting.insert(id);
    } else {
        m_waiting.erase(id);
    }
    const std::size_t waitingBytes = connection.decoder.waitingBytes();
    m_waitingBytes = m_waitingBytes - connection.counted + waitingBytes;
    connection.counted = waitingBytes;
}

void TlsStage::Lost(const CaptureRecord& header) {
    const auto found = m_connections.find(header.connectionId);
    if (found == m_connections.end()) {
        return;
    }
    Connection& connection = *found->second;
    connection.decoder.GiveUp("bytes of it were not captured");
    Settle(connection, Clock::now());
}

void TlsStage::Forget(std::uint32_t connectionId) {
    if (m_connections.empty() || m_connections.count(connectionId) == 0) {
        return;
    }
    Drop(connectionId);
    if (m_hooked.size() >= kMostHooked) {
        m_hooked.clear();
    }
    m_hooked.insert(connectionId);
}

void TlsStage::Poll(Clock::time_point now) {
    if (m_waiting.empty()) {
        return;
    }
    const bool moreKeys = m_keys.generation() != m_keysSeen;
    m_keysSeen = m_keys.generation();
    for (const std::uint32_t id : WaitingInOrder()) {
        Connection& connection = *m_connections.at(id);
        if (moreKeys) {
            connection.decoder.Resume();
        }
        Settle(connection, now);
    }
}

std::vector<std::uint32_t> TlsStage::WaitingInOrder() const {
    std::vector<std::uint32_t> ids(m_waiting.begin(), m_waiting.end());
    std::sort(ids.begin(), ids.end(), [this](std::uint32_t a, std::uint32_t b) {
        return m_connections.at(a)->serial < m_connections.at(b)->serial;
    });
    return ids;
}

void TlsStage::Finish(std::string_view why) {
    for (const std::uint32_t id : WaitingInOrder()) {
        Connection& connection = *m_connections.at(id);
        connection.decoder.Resume();
        if (connection.decoder.waiting()) {
            connection.decoder.GiveUp(why);
        }
        Settle(connection, Clock::now());
    }
}

}  // namespace vantor
