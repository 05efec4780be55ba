#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/Uuid.h"

namespace vantor {

class ProtocolCatalog;
class SettingsStore;
struct ProtocolInfo;

// The fixed identifier of the capture provider's layered entry.
extern const Uuid CAPTURE_PROVIDER_GUID;
inline constexpr std::string_view kProviderKey = "SOFTWARE\\WinSock2\\VANTOR";
inline constexpr std::string_view kLayeredEntryName = "LP_VANTOR_CAPTURE";
inline constexpr std::string_view kChainNamePrefix = "VANTOR ";

// Puts the capture provider into the protocol catalog: a hidden layered entry and one chain
// over every IPv4 base entry, the chains first in the catalog order. The local-machine key
// records every chain, so that a run that ended without cleaning up is cleaned up by the next.
class ProviderInstaller {
public:
    // providerPath: the provider library that the layered entry and the chains name.
    ProviderInstaller(ProtocolCatalog& catalog, SettingsStore& localMachine,
                      std::string providerPath);

    // Removes what an earlier run left, then installs. False when a step failed; nothing
    // reports it further, as nothing is captured then.
    bool InstallProvider();
    // Removes every chain the key names, the key, and the layered entry.
    void RemoveProvider();

    // The provider library a new program should load: the path of the layered entry, while
    // Vantor's chain stands first among the entries that serve TCP over IPv4; nothing
    // otherwise (Vantor is not running, or another provider comes first).
    static std::optional<std::string> ActiveProviderPath(const ProtocolCatalog& catalog);

    // Where the provider library is: $VANTOR_PROVIDER when set, else libvtcap.so beside the
    // running program, else in ../lib/vantor/ from it.
    static std::string DefaultProviderPath();

private:
    void InstallChainEntry(const ProtocolInfo& base, std::uint32_t layeredId);

    ProtocolCatalog& m_catalog;
    SettingsStore& m_localMachine;
    std::string m_providerPath;
};

}  // namespace vantor
