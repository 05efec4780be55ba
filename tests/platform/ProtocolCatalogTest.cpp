#include "platform/ProtocolCatalog.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "ScopedEnvironment.h"
#include "TempDirectory.h"
#include "platform/InstanceLock.h"

namespace vantor {
namespace {

using testing::ElementsAre;

std::vector<std::uint32_t> Ids(const std::vector<ProtocolInfo>& entries) {
    std::vector<std::uint32_t> ids;
    for (const ProtocolInfo& entry : entries) {
        ids.push_back(entry.catalogEntryId);
    }
    return ids;
}

class ProtocolCatalogTest : public testing::Test {
protected:
    test::TempDirectory directory;
    ProtocolCatalog catalog{directory / "state" / "protocol-catalog"};
};

TEST_F(ProtocolCatalogTest, AFreshCatalogHoldsTheBaseEntries) {
    const auto entries = catalog.EnumProtocols();
    ASSERT_TRUE(entries);
    EXPECT_THAT(Ids(*entries), ElementsAre(1001, 1002, 1003, 1004, 1005, 1006));
    int ipv4 = 0;
    for (const ProtocolInfo& entry : *entries) {
        EXPECT_EQ(entry.chain.length, BASE_PROTOCOL);
        EXPECT_EQ(entry.chain.entries[0], entry.catalogEntryId);
        EXPECT_NE(entry.serviceFlags[0] & XP1_IFS_HANDLES, 0u);
        ipv4 += entry.addressFamily == 2;
    }
    EXPECT_EQ(ipv4, 3);
    EXPECT_FALSE(std::filesystem::exists(catalog.file())) << "written only when changed";
}

TEST_F(ProtocolCatalogTest, InstalledEntriesGetIdsAndSurviveInTheFile) {
    const Uuid provider = *Uuid::Create();
    ProtocolInfo entry = ProtocolCatalog::BaseEntries()[0];
    entry.protocolName = std::string(300, 'n') + " with \"quotes\" and \\";
    ASSERT_TRUE(catalog.InstallProvider(provider, "/lib/with space/libx.so", {&entry, 1}));
    EXPECT_FALSE(catalog.InstallProvider(provider, "/again", {&entry, 1})) << "already there";

    const ProtocolCatalog reread(catalog.file());
    const auto entries = reread.EnumProtocols();
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), 7u);
    const ProtocolInfo& added = entries->back();
    EXPECT_EQ(added.catalogEntryId, 1007u);
    EXPECT_EQ(added.providerId, provider);
    EXPECT_EQ(added.protocolName.size(), kMaxProtocolName);
    EXPECT_EQ(reread.ProviderPath(provider), "/lib/with space/libx.so");
    ProtocolInfo expected = entry;
    expected.providerId = provider;
    expected.catalogEntryId = 1007;
    expected.protocolName.resize(kMaxProtocolName);
    EXPECT_EQ(added, expected);

    EXPECT_TRUE(catalog.DeinstallProvider(provider));
    EXPECT_FALSE(catalog.DeinstallProvider(provider));
    EXPECT_THAT(Ids(*catalog.EnumProtocols()), ElementsAre(1001, 1002, 1003, 1004, 1005, 1006));
    EXPECT_EQ(catalog.ProviderPath(provider), std::nullopt);
}

TEST_F(ProtocolCatalogTest, TheOrderMustNameEveryEntryOnce) {
    EXPECT_TRUE(
        catalog.WriteProviderOrder(std::vector<std::uint32_t>{1006, 1005, 1004, 1003, 1002, 1001}));
    EXPECT_THAT(Ids(*catalog.EnumProtocols()), ElementsAre(1006, 1005, 1004, 1003, 1002, 1001));
    EXPECT_FALSE(catalog.WriteProviderOrder(std::vector<std::uint32_t>{1001, 1002}));
    EXPECT_FALSE(
        catalog.WriteProviderOrder(std::vector<std::uint32_t>{1001, 1001, 1002, 1003, 1004, 1005}));
    EXPECT_FALSE(
        catalog.WriteProviderOrder(std::vector<std::uint32_t>{1001, 1002, 1003, 1004, 1005, 9}));
    EXPECT_THAT(Ids(*catalog.EnumProtocols()), ElementsAre(1006, 1005, 1004, 1003, 1002, 1001));
}

TEST_F(ProtocolCatalogTest, ADamagedCatalogCannotBeReadOrChanged) {
    std::filesystem::create_directories(catalog.file().parent_path());
    std::ofstream(catalog.file()) << "next-id 1007\nentry id=1001 provider=nonsense\n";
    EXPECT_EQ(catalog.EnumProtocols(), std::nullopt);
    const ProtocolInfo entry = ProtocolCatalog::BaseEntries()[0];
    EXPECT_FALSE(catalog.InstallProvider(*Uuid::Create(), "/x", {&entry, 1}));
}

TEST_F(ProtocolCatalogTest, ChangesFromTwoProcessesAtOnceAreAllKept) {
    const ProtocolInfo entry = ProtocolCatalog::BaseEntries()[0];
    std::vector<pid_t> children;
    for (int process = 0; process < 2; ++process) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            bool ok = true;
            for (int i = 0; i < 20; ++i) {
                ok = ok && catalog.InstallProvider(*Uuid::Create(), "/x", {&entry, 1});
            }
            ::_exit(ok ? 0 : 1);
        }
        children.push_back(child);
    }
    for (const pid_t child : children) {
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    const auto entries = catalog.EnumProtocols();
    ASSERT_TRUE(entries);
    EXPECT_EQ(entries->size(), 6u + 40u);
}

TEST(InstanceLockTest, OnlyOneHolderAtATime) {
    test::TempDirectory runtime;
    test::ScopedEnvironment environment;
    environment.Set("XDG_RUNTIME_DIR", runtime.path().string());
    {
        auto first = InstanceLock::TryAcquire("VANTOR_RUNNING");
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(InstanceLock::TryAcquire("VANTOR_RUNNING"), nullptr);
        EXPECT_NE(InstanceLock::TryAcquire("OTHER"), nullptr);
        const pid_t child = ::fork();
        if (child == 0) {
            ::_exit(InstanceLock::TryAcquire("VANTOR_RUNNING") == nullptr ? 0 : 1);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_EQ(WEXITSTATUS(status), 0) << "another process sees the lock taken";
    }
    EXPECT_NE(InstanceLock::TryAcquire("VANTOR_RUNNING"), nullptr) << "released with its holder";
}

}  // namespace
}  // namespace vantor
