#include "capture/ProviderInstaller.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "platform/ProtocolCatalog.h"
#include "platform/SettingsStore.h"

namespace vantor {

const Uuid CAPTURE_PROVIDER_GUID = {{0xE2, 0x93, 0x1C, 0x6A, 0x7D, 0x4B, 0x08, 0x4F, 0x9E, 0x35,
                                     0xC2, 0xD1, 0x8B, 0x40, 0xF7, 0xA6}};

namespace {

ProtocolInfo LayeredEntry() {
    ProtocolInfo entry;
    entry.providerFlags = PFL_HIDDEN;
    entry.providerId = CAPTURE_PROVIDER_GUID;
    entry.chain.length = LAYERED_PROTOCOL;
    entry.addressFamily = 2;
    entry.maxSockAddr = 16;
    entry.minSockAddr = 16;
    entry.socketType = 1;
    entry.protocol = 6;
    entry.protocolName = std::string(kLayeredEntryName);
    return entry;
}

}  // namespace

ProviderInstaller::ProviderInstaller(ProtocolCatalog& catalog, SettingsStore& localMachine,
                                     std::string providerPath)
    : m_catalog(catalog), m_localMachine(localMachine), m_providerPath(std::move(providerPath)) {}

std::string ProviderInstaller::DefaultProviderPath() {
    if (const char* path = std::getenv("VANTOR_PROVIDER"); path != nullptr && path[0] == '/') {
        return path;
    }
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    const std::filesystem::path folder = program.parent_path();
    for (const auto& candidate :
         {folder / "libvtcap.so", folder.parent_path() / "lib" / "vantor" / "libvtcap.so"}) {
        if (std::filesystem::exists(candidate, error)) {
            return candidate.string();
        }
    }
    return (folder / "libvtcap.so").string();
}

std::optional<std::string> ProviderInstaller::ActiveProviderPath(const ProtocolCatalog& catalog) {
    const auto entries = catalog.EnumProtocols();
    if (!entries) {
        return std::nullopt;
    }
    auto isTcpOverIpv4 = [](const ProtocolInfo& e) {
        return e.chain.length == BASE_PROTOCOL && e.addressFamily == 2 && e.socketType == 1 &&
               e.protocol == 6;
    };
    const auto base = std::find_if(entries->begin(), entries->end(), isTcpOverIpv4);
    if (base == entries->end()) {
        return std::nullopt;
    }
    std::optional<std::uint32_t> layeredId;
    for (const ProtocolInfo& entry : *entries) {
        if (entry.providerId == CAPTURE_PROVIDER_GUID && entry.chain.length == LAYERED_PROTOCOL) {
            layeredId = entry.catalogEntryId;
        }
    }
    // The first entry in catalog order that ends in the TCP/IPv4 base entry serves new sockets.
    for (const ProtocolInfo& entry : *entries) {
        const int length = entry.chain.length;
        const bool servesTcp =
            entry.catalogEntryId == base->catalogEntryId ||
            (length >= 2 && length <= kMaxProtocolChain &&
             entry.chain.entries[static_cast<std::size_t>(length - 1)] == base->catalogEntryId);
        if (!servesTcp) {
            continue;
        }
        if (layeredId && length >= 2 && entry.chain.entries[0] == *layeredId) {
            return catalog.ProviderPath(CAPTURE_PROVIDER_GUID);
        }
        return std::nullopt;
    }
    return std::nullopt;
}

bool ProviderInstaller::InstallProvider() {
    if (m_localMachine.KeyExists(kProviderKey)) {
        RemoveProvider();  // an earlier run did not clean up
    }
    m_localMachine.CreateKey(kProviderKey);
    m_localMachine.Flush();

    const ProtocolInfo layered = LayeredEntry();
    if (!m_catalog.InstallProvider(CAPTURE_PROVIDER_GUID, m_providerPath, {&layered, 1})) {
        return false;
    }
    const auto entries = m_catalog.EnumProtocols();
    if (!entries || entries->empty()) {
        return false;
    }
    std::optional<std::uint32_t> layeredId;
    for (const ProtocolInfo& entry : *entries) {
        if (entry.providerId == CAPTURE_PROVIDER_GUID) {
            layeredId = entry.catalogEntryId;
        }
    }
    if (!layeredId) {
        return false;
    }
    for (const ProtocolInfo& entry : *entries) {
        InstallChainEntry(entry, *layeredId);
    }

    const auto installed = m_catalog.EnumProtocols();
    if (!installed) {
        return false;
    }
    std::vector<std::uint32_t> order;
    auto isOurChain = [&](const ProtocolInfo& e) {
        return e.chain.length >= 2 && e.chain.entries[0] == *layeredId;
    };
    for (const ProtocolInfo& entry : *installed) {
        if (isOurChain(entry)) {
            order.push_back(entry.catalogEntryId);
        }
    }
    for (const ProtocolInfo& entry : *installed) {
        if (!isOurChain(entry)) {
            order.push_back(entry.catalogEntryId);
        }
    }
    return m_catalog.WriteProviderOrder(order);
}

void ProviderInstaller::InstallChainEntry(const ProtocolInfo& base, std::uint32_t layeredId) {
    if (base.chain.length != BASE_PROTOCOL || base.addressFamily != 2) {
        return;
    }
    const auto id = Uuid::Create();
    if (!id) {
        return;
    }
    // On disk before the chain exists: a run that dies now leaves nothing the next start does
    // not know to remove.
    m_localMachine.CreateKey(std::string(kProviderKey) + "\\" + id->ToString());
    if (!m_localMachine.Flush()) {
        return;
    }

    ProtocolInfo chain = base;
    chain.serviceFlags[0] &= ~XP1_IFS_HANDLES;
    chain.providerId = *id;
    chain.chain.length = 2;
    chain.chain.entries = {};
    chain.chain.entries[0] = layeredId;
    chain.chain.entries[1] = base.catalogEntryId;
    chain.protocolName =
        (std::string(kChainNamePrefix) + base.protocolName).substr(0, kMaxProtocolName);
    m_catalog.InstallProvider(*id, m_providerPath, {&chain, 1});
}

void ProviderInstaller::RemoveProvider() {
    if (!m_localMachine.KeyExists(kProviderKey)) {
        return;
    }
    while (const auto name = m_localMachine.EnumSubkey(kProviderKey, 0)) {
        if (const auto id = Uuid::FromString(name->substr(0, 40))) {
            m_catalog.DeinstallProvider(*id);
        }
        if (!m_localMachine.DeleteKey(std::string(kProviderKey) + "\\" + *name)) {
            break;
        }
    }
    m_localMachine.DeleteKey(kProviderKey);
    m_localMachine.Flush();
    m_catalog.DeinstallProvider(CAPTURE_PROVIDER_GUID);
}

}  // namespace vantor
