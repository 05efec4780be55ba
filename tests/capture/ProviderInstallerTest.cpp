#include "capture/ProviderInstaller.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "TempDirectory.h"
#include "platform/ProtocolCatalog.h"
#include "platform/SettingsStore.h"

namespace vantor {
namespace {

using testing::ElementsAre;

class ProviderInstallerTest : public testing::Test {
protected:
    std::vector<ProtocolInfo> Entries() { return *catalog.EnumProtocols(); }

    std::vector<std::string> Subkeys() {
        SettingsStore reread(store.file());
        std::vector<std::string> names;
        for (std::size_t i = 0; auto name = reread.EnumSubkey(kProviderKey, i); ++i) {
            names.push_back(*name);
        }
        return names;
    }

    test::TempDirectory directory;
    ProtocolCatalog catalog{directory / "protocol-catalog"};
    SettingsStore store{directory / "local-machine.reg"};
    ProviderInstaller installer{catalog, store, "/opt/vantor/libvtcap.so"};
};

TEST_F(ProviderInstallerTest, OneChainOverEachIpv4BaseEntryComesFirst) {
    ASSERT_TRUE(installer.InstallProvider());
    const auto entries = Entries();
    ASSERT_EQ(entries.size(), 6u + 1u + 3u);

    const ProtocolInfo& layered = entries.back();
    EXPECT_EQ(layered.providerId, CAPTURE_PROVIDER_GUID);
    EXPECT_EQ(layered.providerId.ToString(), "6a1c93e2-4b7d-4f08-9e35-c2d18b40f7a6");
    EXPECT_EQ(layered.chain.length, LAYERED_PROTOCOL);
    EXPECT_EQ(layered.providerFlags, PFL_HIDDEN);
    EXPECT_EQ(layered.protocolName, "LP_VANTOR_CAPTURE");
    EXPECT_EQ(layered.addressFamily, 2);
    EXPECT_EQ(layered.socketType, 1);
    EXPECT_EQ(layered.protocol, 6);
    EXPECT_EQ(layered.maxSockAddr, 16);

    // The three chains first, over TCP, UDP and raw IPv4, then everything else as it was.
    const auto base = ProtocolCatalog::BaseEntries();
    for (std::size_t i = 0; i < 3; ++i) {
        const ProtocolInfo& chain = entries[i];
        EXPECT_EQ(chain.chain.length, 2);
        EXPECT_EQ(chain.chain.entries[0], layered.catalogEntryId);
        EXPECT_EQ(chain.chain.entries[1], base[i].catalogEntryId);
        EXPECT_EQ(chain.protocolName, "VANTOR " + base[i].protocolName);
        EXPECT_EQ(chain.serviceFlags[0], base[i].serviceFlags[0] & ~XP1_IFS_HANDLES);
        EXPECT_EQ(chain.socketType, base[i].socketType);
        EXPECT_EQ(catalog.ProviderPath(chain.providerId), "/opt/vantor/libvtcap.so");
    }
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(entries[3 + i], base[i]);
    }
    EXPECT_EQ(catalog.ProviderPath(CAPTURE_PROVIDER_GUID), "/opt/vantor/libvtcap.so");

    const auto subkeys = Subkeys();
    ASSERT_EQ(subkeys.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(subkeys.size(), 3u);
        EXPECT_TRUE(std::any_of(entries.begin(), entries.begin() + 3, [&](const ProtocolInfo& e) {
            return e.providerId.ToString() == subkeys[i];
        }));
        EXPECT_EQ(subkeys[i].size(), 36u);
    }
    EXPECT_EQ(ProviderInstaller::ActiveProviderPath(catalog), "/opt/vantor/libvtcap.so");
}

TEST_F(ProviderInstallerTest, RemovalTakesEverythingAway) {
    ASSERT_TRUE(installer.InstallProvider());
    installer.RemoveProvider();
    EXPECT_EQ(Entries(), ProtocolCatalog::BaseEntries());
    EXPECT_FALSE(SettingsStore(store.file()).KeyExists(kProviderKey));
    EXPECT_EQ(ProviderInstaller::ActiveProviderPath(catalog), std::nullopt);
    installer.RemoveProvider();  // nothing left to remove: no harm
    EXPECT_EQ(Entries(), ProtocolCatalog::BaseEntries());
}

TEST_F(ProviderInstallerTest, AStartAfterACrashRemovesTheLeftoversFirst) {
    ASSERT_TRUE(installer.InstallProvider());
    const auto leftover = Entries();
    // A new run of the program, with fresh objects over the same files.
    SettingsStore freshStore(store.file());
    ProtocolCatalog freshCatalog(catalog.file());
    ProviderInstaller again(freshCatalog, freshStore, "/opt/vantor/libvtcap.so");
    ASSERT_TRUE(again.InstallProvider());
    const auto entries = *freshCatalog.EnumProtocols();
    EXPECT_EQ(entries.size(), leftover.size()) << "one set of entries, not two";
    for (const ProtocolInfo& old : leftover) {
        if (old.chain.length == 2) {
            EXPECT_TRUE(std::none_of(entries.begin(), entries.end(), [&](const ProtocolInfo& e) {
                return e.providerId == old.providerId;
            })) << "an old chain is gone";
        }
    }
    EXPECT_EQ(Subkeys().size(), 3u);
}

// A catalog whose program dies after a number of installations: what reached the files by
// then is all the next start has.
class DyingCatalog : public ProtocolCatalog {
public:
    struct Died {};
    DyingCatalog(std::filesystem::path file, int installsBeforeDeath)
        : ProtocolCatalog(std::move(file)), m_left(installsBeforeDeath) {}
    bool InstallProvider(const Uuid& providerId, const std::string& path,
                         std::span<const ProtocolInfo> entries) override {
        if (m_left-- == 0) {
            throw Died{};
        }
        return ProtocolCatalog::InstallProvider(providerId, path, entries);
    }

private:
    int m_left;
};

TEST_F(ProviderInstallerTest, ARunThatDiesWhileInstallingLeavesNothingTheNextCannotRemove) {
    // The layered entry, then one chain per IPv4 base entry: die before each in turn.
    for (int installs = 0; installs <= 4; ++installs) {
        SCOPED_TRACE(installs);
        test::TempDirectory folder;
        {
            DyingCatalog dying(folder / "protocol-catalog", installs);
            SettingsStore machine(folder / "local-machine.reg");
            ProviderInstaller first(dying, machine, "/opt/vantor/libvtcap.so");
            if (installs < 4) {
                EXPECT_THROW(first.InstallProvider(), DyingCatalog::Died);
            } else {
                EXPECT_TRUE(first.InstallProvider());
            }
        }
        // The next start, from what is on disk.
        ProtocolCatalog next(folder / "protocol-catalog");
        SettingsStore machine(folder / "local-machine.reg");
        ProviderInstaller second(next, machine, "/opt/vantor/libvtcap.so");
        ASSERT_TRUE(second.InstallProvider());
        second.RemoveProvider();
        EXPECT_EQ(*next.EnumProtocols(), ProtocolCatalog::BaseEntries());
    }
}

TEST_F(ProviderInstallerTest, ChainNamesAreCutTo255Characters) {
    ProtocolInfo base = ProtocolCatalog::BaseEntries()[0];
    base.protocolName = std::string(250, 'b');
    base.protocol = 99;
    ASSERT_TRUE(catalog.InstallProvider(*Uuid::Create(), "(kernel)", {&base, 1}));
    ASSERT_TRUE(installer.InstallProvider());
    bool found = false;
    for (const ProtocolInfo& entry : Entries()) {
        if (entry.chain.length == 2 && entry.protocol == 99) {
            EXPECT_EQ(entry.protocolName.size(), 255u);
            EXPECT_EQ(entry.protocolName, "VANTOR " + std::string(248, 'b'));
            found = true;
        }
    }
    EXPECT_TRUE(found);
}

TEST_F(ProviderInstallerTest, AnotherProviderFirstMeansNoCapture) {
    ASSERT_TRUE(installer.InstallProvider());
    // Someone else's chain over TCP/IPv4 moves in front.
    const Uuid otherLayer = *Uuid::Create();
    ProtocolInfo layer = ProtocolCatalog::BaseEntries()[0];
    layer.chain.length = LAYERED_PROTOCOL;
    ASSERT_TRUE(catalog.InstallProvider(otherLayer, "/other/layer.so", {&layer, 1}));
    const std::uint32_t otherLayerId = Entries().back().catalogEntryId;
    ProtocolInfo chain = ProtocolCatalog::BaseEntries()[0];
    chain.chain.length = 2;
    chain.chain.entries = {otherLayerId, 1001};
    ASSERT_TRUE(catalog.InstallProvider(*Uuid::Create(), "/other/layer.so", {&chain, 1}));
    auto entries = Entries();
    std::vector<std::uint32_t> order{entries.back().catalogEntryId};
    for (std::size_t i = 0; i + 1 < entries.size(); ++i) {
        order.push_back(entries[i].catalogEntryId);
    }
    ASSERT_TRUE(catalog.WriteProviderOrder(order));
    EXPECT_EQ(ProviderInstaller::ActiveProviderPath(catalog), std::nullopt);
}

}  // namespace
}  // namespace vantor
