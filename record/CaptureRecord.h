#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>

#include "platform/SockAddrIn.h"
#include "platform/SystemTime.h"
#include "record/Direction.h"
#include "record/ProcessInfo.h"
#include "record/RecordLayout.h"
#include "record/TlsText.h"

namespace vantor {

// A record is its header, then its data; at most kCaptureBufferSize bytes in all.
inline constexpr std::size_t kCaptureBufferSize = VANTOR_MAX_RECORD_SIZE;
inline constexpr std::size_t kCaptureHeaderSize = VANTOR_RECORD_HEADER_SIZE;
inline constexpr std::uint32_t kMaxRecordDataLength = VANTOR_MAX_RECORD_DATA;

// The header of one capture record: one transfer of bytes on one TCP socket of a captured
// program. On the wire it is thirteen little-endian 32-bit fields (52 bytes), the data follow.
struct CaptureRecord {
    Direction direction = Direction::None;
    Direction previousDirection = Direction::None;  // of the socket's previous record
    std::uint32_t connectionId = 0;                 // only ever compared for equality
    SockAddrIn peerAddress;
    std::uint32_t dataLength = 0;
    // The record's place among its connection's records (a lost record: the first place it
    // stands for); the data travel beside the header.
    std::uint32_t providerData = 0;
    SystemTime time;
    // Not in the 52 header bytes: an IPv6 peer's address, from the record's peer extension.
    std::optional<Ipv6Peer> ipv6;
    // Not in the header either: the process that moved the bytes, from the process extension.
    std::shared_ptr<const ProcessInfo> process;
    // The data are TLS records, not yet decrypted (the TLS extension flag).
    bool tls = false;
    // Where plain text of a TLS connection came from: the program's TLS library (the hooks'
    // flag), or the TLS stage's decryption; None for a connection that is plain on the wire.
    TlsText tlsText = TlsText::None;
    // The HTTP/2 stream whose message the protocol stage makes of the bytes (0: none).
    std::uint32_t http2Stream = 0;

    friend bool operator==(const CaptureRecord&, const CaptureRecord&) = default;
};

// The peer extension of a record whose peer is IPv6: the header's peer family is
// kAddressFamilyInet6 (with the port, and zeros for the address), and the record's data begin
// with the 16-byte address and the u32 scope id (little-endian); dataLength counts them. IPv4
// records have none, so they stay byte for byte as they were.
inline constexpr std::size_t kPeerExtensionSize = VANTOR_PEER_EXTENSION_SIZE;

// Takes the peer extension of an IPv6 record out of data into record.ipv6. False for a record
// that claims an IPv6 peer but is too short to carry one; other records are left as they are.
bool TakePeerExtension(CaptureRecord& record, std::span<const std::uint8_t>& data);
// The extension's bytes, for writers of records.
void WritePeerExtension(const Ipv6Peer& peer, std::span<std::uint8_t, kPeerExtensionSize> bytes);

// Hands out one shared ProcessInfo per process seen, so that the many records of a process
// share it; it holds a bounded number of them.
class ProcessCache {
public:
    std::shared_ptr<const ProcessInfo> Intern(ProcessInfo&& process);

private:
    static constexpr std::size_t kMostKept = 4096;
    std::unordered_map<std::uint32_t, std::shared_ptr<const ProcessInfo>> m_byPid;
};

// Takes every extension out of data: the IPv6 peer's (TakePeerExtension), then the process
// extension where the header's extension flags announce one (the flags are cleared). False for
// a record whose extensions are damaged or cut; it is to be dropped.
bool TakeRecordExtensions(CaptureRecord& record, std::span<const std::uint8_t>& data,
                          ProcessCache& processes);
// How many bytes at the start of data the record's extensions take (0 for none), or nothing
// when they do not fit in data.
std::optional<std::size_t> ExtensionsLength(const CaptureRecord& record,
                                            std::span<const std::uint8_t> data);
// The extension flags of a header read from the wire.
std::uint32_t RecordExtensionFlags(const CaptureRecord& record);
void SetRecordExtensionFlags(CaptureRecord& record, std::uint32_t flags);

// Reads a header from its 52 wire bytes. Every field is taken as it is: nothing in a record
// from another process is trusted, and nothing is validated here.
CaptureRecord ReadCaptureRecord(std::span<const std::uint8_t, kCaptureHeaderSize> bytes);

// Writes a header as its 52 wire bytes.
void WriteCaptureRecord(const CaptureRecord& record,
                        std::span<std::uint8_t, kCaptureHeaderSize> bytes);

}  // namespace vantor
