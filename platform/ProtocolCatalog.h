#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/Uuid.h"

namespace vantor {

inline constexpr std::uint32_t XP1_IFS_HANDLES = 0x00020000;
inline constexpr std::uint32_t PFL_HIDDEN = 0x00000004;
inline constexpr int kMaxProtocolChain = 7;
inline constexpr std::size_t kMaxProtocolName = 255;
// Chain lengths with a meaning of their own.
inline constexpr int LAYERED_PROTOCOL = 0;
inline constexpr int BASE_PROTOCOL = 1;

struct ProtocolChain {
    int length = 0;
    std::array<std::uint32_t, kMaxProtocolChain> entries{};
    friend bool operator==(const ProtocolChain&, const ProtocolChain&) = default;
};

// One entry of the protocol catalog, with the fields of the classic protocol-info record.
struct ProtocolInfo {
    std::array<std::uint32_t, 4> serviceFlags{};
    std::uint32_t providerFlags = 0;
    Uuid providerId;
    std::uint32_t catalogEntryId = 0;
    ProtocolChain chain;
    int version = 0;
    int addressFamily = 0;
    int maxSockAddr = 0;
    int minSockAddr = 0;
    int socketType = 0;
    int protocol = 0;
    int protocolMaxOffset = 0;
    int networkByteOrder = 0;
    int securityScheme = 0;
    std::uint32_t messageSize = 0;
    std::uint32_t providerReserved = 0;
    std::string protocolName;  // at most 255 characters

    friend bool operator==(const ProtocolInfo&, const ProtocolInfo&) = default;
};

// The protocol catalog: the ordered list of protocol entries that decides which provider serves
// a new socket, and the library path of each installed provider. Kept in one text file, seeded
// on first use with the base entries (TCP, UDP and raw over IPv4 and IPv6). Every change
// happens under a lock on the file and replaces it atomically, so a reader never sees half a
// change and a crash of either side leaves a whole catalog.
class ProtocolCatalog {
public:
    explicit ProtocolCatalog(std::filesystem::path file);
    virtual ~ProtocolCatalog() = default;
    ProtocolCatalog(const ProtocolCatalog&) = delete;
    ProtocolCatalog& operator=(const ProtocolCatalog&) = delete;
    // $XDG_STATE_HOME/vantor/protocol-catalog
    static std::filesystem::path DefaultFile();
    // The entries a fresh catalog holds.
    static std::vector<ProtocolInfo> BaseEntries();

    // Every entry, in catalog order; nothing when the catalog cannot be read.
    virtual std::optional<std::vector<ProtocolInfo>> EnumProtocols() const;
    // Adds the entries at the end of the order under providerId, each with a new catalog entry
    // id, and records path as the provider's library. Fails when providerId is installed.
    virtual bool InstallProvider(const Uuid& providerId, const std::string& path,
                                 std::span<const ProtocolInfo> entries);
    // Removes every entry of providerId; fails when there is none.
    virtual bool DeinstallProvider(const Uuid& providerId);
    // Puts the entries in this order; it must name every entry once.
    virtual bool WriteProviderOrder(std::span<const std::uint32_t> catalogEntryIds);
    virtual std::optional<std::string> ProviderPath(const Uuid& providerId) const;

    const std::filesystem::path& file() const { return m_file; }

private:
    struct Contents;
    template <typename Change>
    bool Modify(Change change);
    std::optional<Contents> Read() const;

    std::filesystem::path m_file;
};

}  // namespace vantor
