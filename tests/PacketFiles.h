#pragma once

// Packet capture files written by hand for tests: TCP segments over IPv4 or IPv6, framed for
// each link type, in pcap or pcapng.

#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace vantor::test {

using Octets = std::vector<std::uint8_t>;

struct Host {
    std::array<std::uint8_t, 16> address{};  // IPv4 in the first four bytes
    bool ipv6 = false;
    std::uint16_t port = 0;
};

inline Host V4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d, std::uint16_t port) {
    Host host;
    host.address[0] = a;
    host.address[1] = b;
    host.address[2] = c;
    host.address[3] = d;
    host.port = port;
    return host;
}

// ::1 style addresses: 15 zero bytes and last.
inline Host V6(std::uint8_t last, std::uint16_t port) {
    Host host;
    host.ipv6 = true;
    host.address[0] = 0xFD;
    host.address[15] = last;
    host.port = port;
    return host;
}

inline constexpr std::uint8_t kFin = 0x01;
inline constexpr std::uint8_t kSyn = 0x02;
inline constexpr std::uint8_t kRst = 0x04;
inline constexpr std::uint8_t kPsh = 0x08;
inline constexpr std::uint8_t kAck = 0x10;

inline void Put16(Octets& bytes, std::uint16_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
    bytes.push_back(static_cast<std::uint8_t>(value));
}

inline void Put32(Octets& bytes, std::uint32_t value) {
    Put16(bytes, static_cast<std::uint16_t>(value >> 16));
    Put16(bytes, static_cast<std::uint16_t>(value));
}

inline void PutLittle32(Octets& bytes, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

inline void PutLittle16(Octets& bytes, std::uint16_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value));
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
}

// An IP packet carrying one TCP segment (checksums left zero: readers of captures do not
// check them).
inline Octets IpPacket(const Host& from, const Host& to, std::uint32_t sequence,
                       std::uint32_t acknowledgement, std::uint8_t flags,
                       std::string_view payload) {
    Octets tcp;
    Put16(tcp, from.port);
    Put16(tcp, to.port);
    Put32(tcp, sequence);
    Put32(tcp, acknowledgement);
    tcp.push_back(5 << 4);
    tcp.push_back(flags);
    Put16(tcp, 65535);
    Put32(tcp, 0);
    tcp.insert(tcp.end(), payload.begin(), payload.end());
    Octets ip;
    if (from.ipv6) {
        Put32(ip, 0x60000000);
        Put16(ip, static_cast<std::uint16_t>(tcp.size()));
        ip.push_back(6);
        ip.push_back(64);
        ip.insert(ip.end(), from.address.begin(), from.address.end());
        ip.insert(ip.end(), to.address.begin(), to.address.end());
    } else {
        ip.push_back(0x45);
        ip.push_back(0);
        Put16(ip, static_cast<std::uint16_t>(20 + tcp.size()));
        Put32(ip, 0x00004000);  // don't fragment
        ip.push_back(64);
        ip.push_back(6);
        Put16(ip, 0);
        ip.insert(ip.end(), from.address.begin(), from.address.begin() + 4);
        ip.insert(ip.end(), to.address.begin(), to.address.begin() + 4);
    }
    ip.insert(ip.end(), tcp.begin(), tcp.end());
    return ip;
}

// Frames an IP packet for a link type (numbers as in capture files). vlanTags applies to
// Ethernet.
inline Octets Frame(int linkType, const Octets& ip, int vlanTags = 0) {
    const bool ipv6 = (ip[0] >> 4) == 6;
    const std::uint16_t etherType = ipv6 ? 0x86DD : 0x0800;
    Octets frame;
    switch (linkType) {
        case 1:  // Ethernet
            frame.assign(12, 0x02);
            for (int tag = 0; tag < vlanTags; ++tag) {
                Put16(frame, tag + 1 < vlanTags ? 0x88A8 : 0x8100);
                Put16(frame, static_cast<std::uint16_t>(100 + tag));
            }
            Put16(frame, etherType);
            break;
        case 0:  // BSD loopback, little-endian machine
            PutLittle32(frame, ipv6 ? 30 : 2);
            break;
        case 108:  // OpenBSD loopback, network byte order
            Put32(frame, ipv6 ? 24 : 2);
            break;
        case 113:               // Linux cooked v1
            Put16(frame, 0);    // packet type
            Put16(frame, 772);  // ARPHRD_LOOPBACK
            Put16(frame, 6);
            frame.insert(frame.end(), 8, 0);
            Put16(frame, etherType);
            break;
        case 276:  // Linux cooked v2
            Put16(frame, etherType);
            Put16(frame, 0);
            Put32(frame, 1);  // interface index
            Put16(frame, 772);
            frame.push_back(0);
            frame.push_back(6);
            frame.insert(frame.end(), 8, 0);
            break;
        default:  // raw IP
            break;
    }
    frame.insert(frame.end(), ip.begin(), ip.end());
    return frame;
}

struct Packet {
    std::int64_t microseconds = 0;
    Octets frame;
    std::uint32_t originalLength = 0;  // 0: the frame's size
};

inline Octets PcapFile(int linkType, const std::vector<Packet>& packets) {
    Octets file;
    PutLittle32(file, 0xA1B2C3D4);
    PutLittle16(file, 2);
    PutLittle16(file, 4);
    PutLittle32(file, 0);
    PutLittle32(file, 0);
    PutLittle32(file, 262144);
    PutLittle32(file, static_cast<std::uint32_t>(linkType));
    for (const Packet& packet : packets) {
        PutLittle32(file, static_cast<std::uint32_t>(packet.microseconds / 1'000'000));
        PutLittle32(file, static_cast<std::uint32_t>(packet.microseconds % 1'000'000));
        PutLittle32(file, static_cast<std::uint32_t>(packet.frame.size()));
        PutLittle32(file, packet.originalLength != 0
                              ? packet.originalLength
                              : static_cast<std::uint32_t>(packet.frame.size()));
        file.insert(file.end(), packet.frame.begin(), packet.frame.end());
    }
    return file;
}

// pcapng: a section header, one interface (microsecond times), a decryption secrets block
// with a TLS key log (when one is given), enhanced packet blocks.
inline Octets PcapngFile(int linkType, const std::vector<Packet>& packets,
                         std::string_view keyLog = {}) {
    Octets file;
    auto block = [&file](std::uint32_t type, const Octets& body) {
        Octets padded = body;
        while (padded.size() % 4 != 0) {
            padded.push_back(0);
        }
        const auto length = static_cast<std::uint32_t>(12 + padded.size());
        PutLittle32(file, type);
        PutLittle32(file, length);
        file.insert(file.end(), padded.begin(), padded.end());
        PutLittle32(file, length);
    };
    Octets section;
    PutLittle32(section, 0x1A2B3C4D);
    PutLittle16(section, 1);
    PutLittle16(section, 0);
    PutLittle32(section, 0xFFFFFFFF);  // section length unknown
    PutLittle32(section, 0xFFFFFFFF);
    block(0x0A0D0D0A, section);
    Octets interface;
    PutLittle16(interface, static_cast<std::uint16_t>(linkType));
    PutLittle16(interface, 0);
    PutLittle32(interface, 262144);
    block(1, interface);
    if (!keyLog.empty()) {
        Octets secrets;
        PutLittle32(secrets, 0x544C534B);  // TLS key log
        PutLittle32(secrets, static_cast<std::uint32_t>(keyLog.size()));
        secrets.insert(secrets.end(), keyLog.begin(), keyLog.end());
        block(0x0A, secrets);
    }
    for (const Packet& packet : packets) {
        Octets enhanced;
        PutLittle32(enhanced, 0);
        const auto time = static_cast<std::uint64_t>(packet.microseconds);
        PutLittle32(enhanced, static_cast<std::uint32_t>(time >> 32));
        PutLittle32(enhanced, static_cast<std::uint32_t>(time));
        PutLittle32(enhanced, static_cast<std::uint32_t>(packet.frame.size()));
        PutLittle32(enhanced, static_cast<std::uint32_t>(packet.frame.size()));
        enhanced.insert(enhanced.end(), packet.frame.begin(), packet.frame.end());
        block(6, enhanced);
    }
    return file;
}

inline void WriteFile(const std::filesystem::path& path, const Octets& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// One TCP connection's packets, numbered the way a real stack numbers them.
class Conversation {
public:
    Conversation(Host client, Host server, std::int64_t startMicroseconds = 1'796'000'000'000'000)
        : m_client(client), m_server(server), m_time(startMicroseconds) {}

    // SYN, SYN-ACK, ACK.
    void Open() {
        Add(true, m_clientNext - 1, 0, kSyn, "");
        Add(false, m_serverNext - 1, m_clientNext, kSyn | kAck, "");
        Add(true, m_clientNext, m_serverNext, kAck, "");
    }
    // A segment of the client (or server) at the side's next sequence number; it moves on.
    void Client(std::string_view payload) { Send(true, payload); }
    void Server(std::string_view payload) { Send(false, payload); }
    // A segment at an explicit offset from the side's first byte, the next number untouched.
    void ClientAt(std::uint32_t offset, std::string_view payload,
                  std::uint8_t flags = kAck | kPsh) {
        Add(true, kClientStart + offset, m_serverNext, flags, payload);
    }
    void ServerAt(std::uint32_t offset, std::string_view payload,
                  std::uint8_t flags = kAck | kPsh) {
        Add(false, kServerStart + offset, m_clientNext, flags, payload);
    }
    // Moves a side's next number on by count bytes, as if it sent them unseen.
    void SkipClient(std::uint32_t count) { m_clientNext += count; }
    void SkipServer(std::uint32_t count) { m_serverNext += count; }
    // A bare acknowledgement of everything the other side sent so far.
    void AckFromClient() { Add(true, m_clientNext, m_serverNext, kAck, ""); }
    void AckFromServer() { Add(false, m_serverNext, m_clientNext, kAck, ""); }
    void Close() {
        Add(true, m_clientNext, m_serverNext, kFin | kAck, "");
        ++m_clientNext;
        Add(false, m_serverNext, m_clientNext, kFin | kAck, "");
        ++m_serverNext;
        Add(true, m_clientNext, m_serverNext, kAck, "");
    }
    void Reset() { Add(true, m_clientNext, m_serverNext, kRst | kAck, ""); }

    const std::vector<Octets>& packets() const { return m_packets; }
    const std::vector<std::int64_t>& times() const { return m_times; }
    // The packets framed for a link type, with their times.
    std::vector<Packet> Framed(int linkType, int vlanTags = 0) const {
        std::vector<Packet> framed;
        for (std::size_t i = 0; i < m_packets.size(); ++i) {
            framed.push_back({m_times[i], Frame(linkType, m_packets[i], vlanTags), 0});
        }
        return framed;
    }

    static constexpr std::uint32_t kClientStart = 0xFFFFFF00u;  // wraps within the test
    static constexpr std::uint32_t kServerStart = 1000;

private:
    void Send(bool fromClient, std::string_view payload) {
        if (fromClient) {
            Add(true, m_clientNext, m_serverNext, kAck | kPsh, payload);
            m_clientNext += static_cast<std::uint32_t>(payload.size());
        } else {
            Add(false, m_serverNext, m_clientNext, kAck | kPsh, payload);
            m_serverNext += static_cast<std::uint32_t>(payload.size());
        }
    }
    void Add(bool fromClient, std::uint32_t sequence, std::uint32_t acknowledgement,
             std::uint8_t flags, std::string_view payload) {
        m_packets.push_back(
            fromClient ? IpPacket(m_client, m_server, sequence, acknowledgement, flags, payload)
                       : IpPacket(m_server, m_client, sequence, acknowledgement, flags, payload));
        m_times.push_back(m_time);
        m_time += 1000;  // a millisecond apart
    }

    Host m_client;
    Host m_server;
    std::int64_t m_time;
    std::uint32_t m_clientNext = kClientStart;
    std::uint32_t m_serverNext = kServerStart;
    std::vector<Octets> m_packets;
    std::vector<std::int64_t> m_times;
};

}  // namespace vantor::test
