#include "record/CaptureRecord.h"

#include <algorithm>
#include <array>

#include "platform/Endian.h"

namespace vantor {

namespace {

constexpr std::size_t kDirection = 0;
constexpr std::size_t kPreviousDirection = 4;
constexpr std::size_t kConnectionId = 8;
constexpr std::size_t kPeerAddress = 12;
constexpr std::size_t kDataLength = 28;
constexpr std::size_t kProviderData = 32;
constexpr std::size_t kTime = 36;

using HeaderBytes = std::span<const std::uint8_t, kCaptureHeaderSize>;
using MutableHeaderBytes = std::span<std::uint8_t, kCaptureHeaderSize>;

std::uint32_t Load32(HeaderBytes bytes, std::size_t offset) {
    return LoadLE32(bytes.subspan(offset).first<4>());
}

std::uint16_t Load16(HeaderBytes bytes, std::size_t offset) {
    return LoadLE16(bytes.subspan(offset).first<2>());
}

void Store32(MutableHeaderBytes bytes, std::size_t offset, std::uint32_t value) {
    StoreLE32(bytes.subspan(offset).first<4>(), value);
}

void Store16(MutableHeaderBytes bytes, std::size_t offset, std::uint16_t value) {
    StoreLE16(bytes.subspan(offset).first<2>(), value);
}

}  // namespace

CaptureRecord ReadCaptureRecord(HeaderBytes bytes) {
    CaptureRecord record;
    record.direction = static_cast<Direction>(Load32(bytes, kDirection));
    record.previousDirection = static_cast<Direction>(Load32(bytes, kPreviousDirection));
    record.connectionId = Load32(bytes, kConnectionId);
    record.peerAddress.family = Load16(bytes, kPeerAddress);
    std::copy_n(bytes.begin() + kPeerAddress + 2, 2, record.peerAddress.port.begin());
    std::copy_n(bytes.begin() + kPeerAddress + 4, 4, record.peerAddress.address.begin());
    std::copy_n(bytes.begin() + kPeerAddress + 8, 8, record.peerAddress.zero.begin());
    record.dataLength = Load32(bytes, kDataLength);
    record.providerData = Load32(bytes, kProviderData);
    SystemTime& t = record.time;
    const std::array<std::uint16_t*, 8> fields = {
        &t.year, &t.month, &t.dayOfWeek, &t.day, &t.hour, &t.minute, &t.second, &t.milliseconds};
    for (std::size_t i = 0; i < fields.size(); ++i) {
        *fields[i] = Load16(bytes, kTime + 2 * i);
    }
    return record;
}

void WriteCaptureRecord(const CaptureRecord& record, MutableHeaderBytes bytes) {
    Store32(bytes, kDirection, static_cast<std::uint32_t>(record.direction));
    Store32(bytes, kPreviousDirection, static_cast<std::uint32_t>(record.previousDirection));
    Store32(bytes, kConnectionId, record.connectionId);
    Store16(bytes, kPeerAddress, record.peerAddress.family);
    std::copy_n(record.peerAddress.port.begin(), 2, bytes.begin() + kPeerAddress + 2);
    std::copy_n(record.peerAddress.address.begin(), 4, bytes.begin() + kPeerAddress + 4);
    std::copy_n(record.peerAddress.zero.begin(), 8, bytes.begin() + kPeerAddress + 8);
    Store32(bytes, kDataLength, record.dataLength);
    Store32(bytes, kProviderData, record.providerData);
    const SystemTime& t = record.time;
    const std::array<std::uint16_t, 8> fields = {t.year, t.month,  t.dayOfWeek, t.day,
                                                 t.hour, t.minute, t.second,    t.milliseconds};
    for (std::size_t i = 0; i < fields.size(); ++i) {
        Store16(bytes, kTime + 2 * i, fields[i]);
    }
}

bool TakePeerExtension(CaptureRecord& record, std::span<const std::uint8_t>& data) {
    if (record.peerAddress.family != kAddressFamilyInet6) {
        return true;
    }
    if (data.size() < kPeerExtensionSize) {
        return false;
    }
    Ipv6Peer peer;
    std::copy_n(data.begin(), peer.address.size(), peer.address.begin());
    peer.scopeId = LoadLE32(data.subspan(16).first<4>());
    record.ipv6 = peer;
    data = data.subspan(kPeerExtensionSize);
    return true;
}

void WritePeerExtension(const Ipv6Peer& peer, std::span<std::uint8_t, kPeerExtensionSize> bytes) {
    std::copy(peer.address.begin(), peer.address.end(), bytes.begin());
    StoreLE32(bytes.subspan<16, 4>(), peer.scopeId);
}

std::uint32_t RecordExtensionFlags(const CaptureRecord& record) {
    return LoadLE32(std::span<const std::uint8_t, 4>(record.peerAddress.zero.data(), 4));
}

void SetRecordExtensionFlags(CaptureRecord& record, std::uint32_t flags) {
    StoreLE32(std::span<std::uint8_t, 4>(record.peerAddress.zero.data(), 4), flags);
}

std::optional<std::size_t> ExtensionsLength(const CaptureRecord& record,
                                            std::span<const std::uint8_t> data) {
    std::size_t length = record.peerAddress.family == kAddressFamilyInet6 ? kPeerExtensionSize : 0;
    if ((RecordExtensionFlags(record) & VANTOR_EXTENSION_PROCESS) != 0) {
        if (data.size() < length + 4) {
            return std::nullopt;
        }
        length += LoadLE32(std::span<const std::uint8_t, 4>(data.data() + length, 4));
    }
    if (length > data.size()) {
        return std::nullopt;
    }
    return length;
}

std::shared_ptr<const ProcessInfo> ProcessCache::Intern(ProcessInfo&& process) {
    auto& kept = m_byPid[process.pid];
    if (kept == nullptr || *kept != process) {
        if (m_byPid.size() > kMostKept) {
            m_byPid.clear();
            return m_byPid[process.pid] = std::make_shared<const ProcessInfo>(std::move(process));
        }
        kept = std::make_shared<const ProcessInfo>(std::move(process));
    }
    return kept;
}

bool TakeRecordExtensions(CaptureRecord& record, std::span<const std::uint8_t>& data,
                          ProcessCache& processes) {
    if (!TakePeerExtension(record, data)) {
        return false;
    }
    const std::uint32_t flags = RecordExtensionFlags(record);
    if (flags == 0) {
        return true;
    }
    SetRecordExtensionFlags(record, 0);
    if ((flags & ~std::uint32_t{VANTOR_EXTENSION_PROCESS | VANTOR_EXTENSION_TLS |
                                VANTOR_EXTENSION_TLS_PLAIN}) != 0) {
        return false;  // an extension of a size not known: the data cannot be found
    }
    if ((flags & VANTOR_EXTENSION_PROCESS) != 0) {
        ProcessInfo process;
        const std::size_t size = DecodeProcessExtension(data, process);
        if (size == 0) {
            return false;
        }
        record.process = processes.Intern(std::move(process));
        data = data.subspan(size);
    }
    record.tls = (flags & VANTOR_EXTENSION_TLS) != 0;
    if ((flags & VANTOR_EXTENSION_TLS_PLAIN) != 0) {
        record.tlsText = TlsText::Hooked;
    }
    return true;
}

}  // namespace vantor
