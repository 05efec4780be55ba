#include "system/SystemRecords.h"

#include <pwd.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/Endian.h"
#include "system/SystemEvents.h"

extern "C" {
#include "provider/vtcap_logic.h"
}

namespace vantor {

namespace {

bool IsMappedIpv4(const std::uint8_t* address) {
    static constexpr std::uint8_t kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::memcmp(address, kPrefix, sizeof kPrefix) == 0;
}

void AppendLE32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    std::uint8_t bytes[4];
    StoreLE32(std::span<std::uint8_t, 4>(bytes, 4), value);
    out.insert(out.end(), bytes, bytes + 4);
}

void AppendLE64(std::vector<std::uint8_t>& out, std::uint64_t value) {
    AppendLE32(out, static_cast<std::uint32_t>(value));
    AppendLE32(out, static_cast<std::uint32_t>(value >> 32));
}

}  // namespace

SystemRecords::SystemRecords(RecordOutput output, Describe describe, std::int64_t realtimeOffset)
    : m_output(std::move(output)),
      m_describe(std::move(describe)),
      m_realtimeOffset(realtimeOffset) {}

void SystemRecords::Event(std::span<const std::uint8_t> bytes, Clock::time_point now) {
    vt_event event;
    if (bytes.size() < sizeof event) {
        ++m_malformed;
        return;
    }
    std::memcpy(&event, bytes.data(), sizeof event);
    std::span<const std::uint8_t> data = bytes.subspan(sizeof event);
    switch (event.kind) {
        case VT_EVENT_EXEC:
        case VT_EVENT_MAP:
            if (onProgram) {
                onProgram(event.tgid, event.kind == VT_EVENT_EXEC);
            }
            return;
        case VT_EVENT_CLOSE:
            if ((event.flags & VT_PLAIN) != 0) {
                m_closing.emplace_back(now + kCloseWait,
                                       Key{event.conn, event.tgid, event.generation, true});
            } else {
                // The socket's connection, and the TLS connections over it.
                const auto [from, to] = m_bySock.equal_range(event.sock);
                for (auto it = from; it != to; ++it) {
                    if (it->second.plain || it->second.generation == event.generation) {
                        m_closing.emplace_back(now + kCloseWait, it->second);
                    }
                }
            }
            return;
        case VT_EVENT_DATA:
            // The bytes may come in a larger room.
            if (event.length > data.size() || event.length == 0 || event.length > VT_PIECE) {
                ++m_malformed;
                return;
            }
            data = data.first(event.length);
            break;
        case VT_EVENT_SKIP:
            if (event.count == 0 || event.count > VT_MOST_PIECES + 1 || !data.empty()) {
                ++m_malformed;
                return;
            }
            break;
        default:
            ++m_malformed;
            return;
    }
    const std::uint32_t way = event.flags & (VT_SENT | VT_RECEIVED);
    if (way != VT_SENT && way != VT_RECEIVED) {
        ++m_malformed;
        return;
    }
    Connection* connection = Find(event, true);
    if (connection == nullptr || connection->verdict == Verdict::NotHttp) {
        return;
    }
    Offer(event, *connection, data, now);
    Flush();
}

SystemRecords::Connection* SystemRecords::Find(const vt_event& event, bool create) {
    const bool plain = (event.flags & VT_PLAIN) != 0;
    const Key key{event.conn, plain ? event.tgid : 0, event.generation, plain};
    const auto found = m_connections.find(key);
    if (found != m_connections.end()) {
        found->second.lastUse = ++m_uses;
        return &found->second;
    }
    if (!create) {
        return nullptr;
    }
    if (m_connections.size() >= kMostConnections) {
        // The eighth used longest ago goes: a sort now and then, not a walk per connection.
        std::vector<std::pair<std::uint64_t, Key>> byUse;
        byUse.reserve(m_connections.size());
        for (const auto& [known, connection] : m_connections) {
            byUse.emplace_back(connection.lastUse, known);
        }
        const auto cut = byUse.begin() + static_cast<std::ptrdiff_t>(byUse.size() / 8);
        std::nth_element(byUse.begin(), cut, byUse.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        for (auto it = byUse.begin(); it != cut; ++it) {
            Forget(it->second);
        }
    }
    do {
        ++m_nextId;
    } while (m_nextId == 0 || m_byId.count(m_nextId) != 0);
    Connection& connection = m_connections[key];
    connection.id = m_nextId;
    connection.sock = event.sock;
    connection.lastUse = ++m_uses;
    m_byId[connection.id] = &connection;
    if (event.sock != 0) {
        m_bySock.emplace(event.sock, key);
    }
    return &connection;
}

void SystemRecords::Forget(const Key& key) {
    const auto found = m_connections.find(key);
    if (found == m_connections.end()) {
        return;
    }
    const auto [from, to] = m_bySock.equal_range(found->second.sock);
    for (auto it = from; it != to; ++it) {
        if (it->second == key) {
            m_bySock.erase(it);
            break;
        }
    }
    m_byId.erase(found->second.id);
    m_connections.erase(found);
}

const std::vector<std::uint8_t>& SystemRecords::ProcessExtensionOf(const vt_event& event) {
    const std::uint64_t key = (std::uint64_t{event.tgid} << 32) ^ event.cgroup;
    if (m_processes.size() > 16384 && m_processes.count(key) == 0) {
        m_processes.clear();
    }
    KnownProcess& known = m_processes[key];
    const std::string_view command(event.comm, strnlen(event.comm, sizeof event.comm));
    if (known.process == nullptr || known.process->uid != event.uid ||
        known.process->command != command) {
        ProcessInfo process;
        process.pid = event.tgid;
        process.uid = event.uid;
        process.command = std::string(command);
        if (m_describe) {
            m_describe(process, event.cgroup);
        }
        known.process = m_processCache.Intern(std::move(process));
        known.extension = EncodeProcessExtension(*known.process);
    }
    return known.extension;
}

void SystemRecords::Offer(const vt_event& event, Connection& connection,
                          std::span<const std::uint8_t> data, Clock::time_point now) {
    const Direction way = (event.flags & VT_SENT) != 0 ? Direction::Sent : Direction::Received;
    CaptureRecord header;
    header.connectionId = connection.id;
    header.providerData = event.place;
    // Its previous direction is known only in order (Flush); the first place starts the
    // connection.
    header.direction = event.kind == VT_EVENT_SKIP ? Direction::Lost : way;
    header.previousDirection = event.place == 0 ? Direction::None : way;
    const std::int64_t nanoseconds = static_cast<std::int64_t>(event.time) + m_realtimeOffset;
    header.time = m_times.At(nanoseconds / 1000);

    m_record.clear();
    std::optional<Ipv6Peer> ipv6;
    if (event.family == AF_INET6 && !IsMappedIpv4(event.address)) {
        Ipv6Peer peer;
        std::copy_n(event.address, peer.address.size(), peer.address.begin());
        ipv6 = peer;
        header.peerAddress.family = kAddressFamilyInet6;
        m_record.resize(kPeerExtensionSize);
        WritePeerExtension(
            peer, std::span<std::uint8_t, kPeerExtensionSize>(m_record.data(), kPeerExtensionSize));
    } else if (event.family == AF_INET || event.family == AF_INET6) {
        const std::uint8_t* v4 = event.family == AF_INET ? event.address : event.address + 12;
        std::copy_n(v4, 4, header.peerAddress.address.begin());
    }
    std::memcpy(header.peerAddress.port.data(), &event.port, 2);
    const std::vector<std::uint8_t>& process = ProcessExtensionOf(event);
    m_record.insert(m_record.end(), process.begin(), process.end());
    SetRecordExtensionFlags(header, VANTOR_EXTENSION_PROCESS | ((event.flags & VT_PLAIN) != 0 &&
                                                                        event.kind != VT_EVENT_SKIP
                                                                    ? VANTOR_EXTENSION_TLS_PLAIN
                                                                    : 0u));
    if (event.kind == VT_EVENT_SKIP) {
        // Places whose bytes were not handed over: told as lost, of a known size.
        const bool sent = way == Direction::Sent;
        AppendLE32(m_record, event.count);
        AppendLE32(m_record, VANTOR_LOST_SIZES_KNOWN |
                                 (static_cast<std::uint32_t>(way) << VANTOR_LOST_LAST_SHIFT));
        AppendLE64(m_record, sent ? event.missing : 0);
        AppendLE64(m_record, sent ? 0 : event.missing);
    } else {
        m_record.insert(m_record.end(), data.begin(), data.end());
    }
    header.dataLength = static_cast<std::uint32_t>(m_record.size());
    m_order.Offer(PendingRecord{header, m_record}, now);
}

void SystemRecords::Flush() {
    for (const PendingRecord& ready : m_order.ready()) {
        const auto found = m_byId.find(ready.header.connectionId);
        if (found == m_byId.end()) {
            continue;
        }
        Connection& connection = *found->second;
        CaptureRecord header = ready.header;
        const std::optional<std::size_t> extensions = ExtensionsLength(header, ready.data);
        if (!extensions) {
            continue;
        }
        if (header.direction == Direction::Lost) {
            if (connection.verdict != Verdict::Http) {
                continue;
            }
            if (!connection.server) {
                m_output(header, ready.data);
                continue;
            }
            // A server's: the sides and directions turn round with the connection's.
            std::vector<std::uint8_t> turned(ready.data.begin(), ready.data.end());
            const std::span<std::uint8_t> lost = std::span(turned).subspan(*extensions);
            if (lost.size() == VANTOR_LOST_DATA_SIZE) {
                std::swap_ranges(lost.begin() + VANTOR_LOST_SENT_OFFSET,
                                 lost.begin() + VANTOR_LOST_RECEIVED_OFFSET,
                                 lost.begin() + VANTOR_LOST_RECEIVED_OFFSET);
                const auto flags = lost.subspan<VANTOR_LOST_FLAGS_OFFSET, 4>();
                std::uint32_t value = LoadLE32(flags);
                const auto last = static_cast<Direction>((value >> VANTOR_LOST_LAST_SHIFT) & 0xFFu);
                if (last == Direction::Sent || last == Direction::Received) {
                    value = (value & ~(0xFFu << VANTOR_LOST_LAST_SHIFT)) |
                            (static_cast<std::uint32_t>(Opposite(last)) << VANTOR_LOST_LAST_SHIFT);
                }
                StoreLE32(flags, value);
            }
            m_output(header, turned);
            continue;
        }
        const auto bytes = ready.data.subspan(*extensions);
        if (connection.verdict == Verdict::Undecided) {
            // The first bytes sent decide: a request line (a client's connection). A request
            // received first is a server's connection (the kernel side hands those over only
            // when asked to); other bytes received first wait for the first sent.
            const int verdict = vtcap_classify(reinterpret_cast<const char*>(bytes.data()),
                                               std::min<std::size_t>(bytes.size(), 64));
            if (header.direction == Direction::Received && verdict != VTCAP_HTTP) {
                connection.earlyBytes += ready.data.size();
                if (connection.earlyBytes > kMostEarlyBytes) {
                    connection.verdict = Verdict::NotHttp;
                    connection.early.clear();
                } else {
                    connection.early.emplace_back(
                        header, std::vector<std::uint8_t>(ready.data.begin(), ready.data.end()));
                }
                continue;
            }
            // TLS records are not handed over here: the TLS probes give the plain text.
            connection.verdict = verdict == VTCAP_NOT_HTTP || verdict == VTCAP_TLS
                                     ? Verdict::NotHttp
                                     : Verdict::Http;
            connection.server = header.direction == Direction::Received;
            if (connection.verdict == Verdict::NotHttp) {
                connection.early.clear();
                continue;
            }
            Hand(connection, header, ready.data);
            for (auto& [held, heldData] : connection.early) {
                Hand(connection, held, heldData);
            }
            connection.early.clear();
            continue;
        }
        if (connection.verdict == Verdict::Http) {
            Hand(connection, header, ready.data);
        }
    }
    m_order.Dispatched();
}

void SystemRecords::Hand(Connection& connection, CaptureRecord header,
                         std::span<const std::uint8_t> data) {
    if (connection.server) {
        header.direction = Opposite(header.direction);
    }
    header.previousDirection = connection.last;
    connection.last = header.direction;
    m_output(header, data);
}

void SystemRecords::Expire(Clock::time_point now) {
    m_order.Expire(now);
    Flush();
    while (!m_closing.empty() && m_closing.front().first <= now) {
        Forget(m_closing.front().second);
        m_closing.pop_front();
    }
}

SystemRecords::Describe DescribeFromSystem() {
    auto users = std::make_shared<std::unordered_map<std::uint32_t, std::string>>();
    auto cgroups = std::make_shared<std::unordered_map<std::uint64_t, std::string>>();
    return [users, cgroups](ProcessInfo& process, std::uint64_t cgroupId) {
        auto user = users->find(process.uid);
        if (user == users->end()) {
            if (users->size() > 4096) {
                users->clear();
            }
            passwd entry{};
            passwd* result = nullptr;
            char buffer[4096];
            std::string name;
            if (::getpwuid_r(process.uid, &entry, buffer, sizeof buffer, &result) == 0 &&
                result != nullptr) {
                name = std::string(entry.pw_name).substr(0, ProcessInfo::kLongestUser);
            }
            user = users->emplace(process.uid, std::move(name)).first;
        }
        process.user = user->second;
        auto cgroup = cgroups->find(cgroupId);
        if (cgroup == cgroups->end()) {
            if (cgroups->size() > 4096) {
                cgroups->clear();
            }
            // The unified hierarchy's line: "0::/path".
            std::ifstream lines("/proc/" + std::to_string(process.pid) + "/cgroup");
            std::string path;
            for (std::string line; std::getline(lines, line);) {
                if (line.starts_with("0::")) {
                    path = line.substr(3, ProcessInfo::kLongestCgroup);
                    break;
                }
            }
            cgroup = cgroups->emplace(cgroupId, std::move(path)).first;
        }
        process.cgroup = cgroup->second == "/" ? std::string() : cgroup->second;
    };
}

}  // namespace vantor
