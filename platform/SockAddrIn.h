#pragma once

#include <array>
#include <cstdint>

namespace vantor {

inline constexpr std::uint16_t kAddressFamilyInet = 2;
inline constexpr std::uint16_t kAddressFamilyInet6 = 10;

// An IPv4 socket address with the 16-byte layout of the classic sockaddr_in: family, port in
// network byte order, address in network byte order, eight bytes that should be zero. The
// trailing bytes are kept as they came so that a stored address is written back unchanged.
struct SockAddrIn {
    std::uint16_t family = kAddressFamilyInet;
    std::array<std::uint8_t, 2> port{};     // network byte order
    std::array<std::uint8_t, 4> address{};  // network byte order
    std::array<std::uint8_t, 8> zero{};

    std::uint16_t HostPort() const { return static_cast<std::uint16_t>((port[0] << 8) | port[1]); }

    friend bool operator==(const SockAddrIn&, const SockAddrIn&) = default;
};

// The part of an IPv6 peer's address that a SockAddrIn cannot hold (its family is then
// kAddressFamilyInet6, with the port and zeros): the address in network byte order and the
// scope (interface) id.
struct Ipv6Peer {
    std::array<std::uint8_t, 16> address{};
    std::uint32_t scopeId = 0;

    friend bool operator==(const Ipv6Peer&, const Ipv6Peer&) = default;
};

}  // namespace vantor
