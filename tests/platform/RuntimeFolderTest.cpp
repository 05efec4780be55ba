#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "OtherUser.h"
#include "ScopedEnvironment.h"
#include "TempDirectory.h"
#include "platform/InstanceLock.h"
#include "platform/XdgPaths.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;
using testing::HasSubstr;

// Without XDG_RUNTIME_DIR the runtime folder is our own in a folder everyone writes.
class RuntimeFolderTest : public testing::Test {
protected:
    RuntimeFolderTest() {
        ::chmod(shared.path().c_str(), 01777);
        environment.Set("XDG_RUNTIME_DIR", std::nullopt);
        environment.Set("TMPDIR", shared.path().string());
    }
    fs::path Fallback() const { return shared / ("vantor-runtime-" + std::to_string(::geteuid())); }

    test::TempDirectory shared;
    test::ScopedEnvironment environment;
};

TEST_F(RuntimeFolderTest, TheFallbackIsMadePrivateWithAPrivateFolderInside) {
    EXPECT_EQ(RuntimeFolder(), Fallback());
    EXPECT_EQ(PreparePrivateRuntimeFolder(), std::nullopt);
    EXPECT_EQ(test::ModeOf(Fallback()), 0700u);
    EXPECT_EQ(test::ModeOf(Fallback() / "vantor"), 0700u);
    EXPECT_NE(InstanceLock::TryAcquire("VANTOR_RUNNING"), nullptr);

    // A private folder of ours that was opened up is closed again.
    ::chmod((Fallback() / "vantor").c_str(), 0755);
    EXPECT_EQ(PreparePrivateRuntimeFolder(), std::nullopt);
    EXPECT_EQ(test::ModeOf(Fallback() / "vantor"), 0700u);
}

TEST_F(RuntimeFolderTest, AFallbackSomeoneElseMadeIsRefused) {
    const fs::path ours = Fallback();  // named here: the other user's id differs
    const auto made = test::AsOtherUser([&] { return ::mkdir(ours.c_str(), 0777) == 0; });
    if (!made) {
        GTEST_SKIP() << "needs root, to make the folder as another user";
    }
    ASSERT_TRUE(*made);
    const auto problem = PreparePrivateRuntimeFolder();
    ASSERT_TRUE(problem.has_value());
    EXPECT_THAT(*problem, HasSubstr(Fallback().string()));
    EXPECT_THAT(*problem, HasSubstr("another user"));
    EXPECT_EQ(InstanceLock::TryAcquire("VANTOR_RUNNING"), nullptr)
        << "no lock, socket or channel where someone else can reach them";
    EXPECT_FALSE(fs::exists(Fallback() / "vantor"));
}

TEST_F(RuntimeFolderTest, AFallbackThatIsALinkOrOpenToOthersIsRefused) {
    fs::create_directory(shared / "elsewhere");
    fs::create_directory_symlink(shared / "elsewhere", Fallback());
    EXPECT_TRUE(PreparePrivateRuntimeFolder().has_value());
    fs::remove(Fallback());
    fs::create_directory(Fallback());
    ::chmod(Fallback().c_str(), 0777);
    EXPECT_TRUE(PreparePrivateRuntimeFolder().has_value());
}

TEST_F(RuntimeFolderTest, AGivenRuntimeFolderOthersCanWriteIsRefused) {
    const fs::path given = shared / "run";
    fs::create_directory(given);
    environment.Set("XDG_RUNTIME_DIR", given.string());
    ::chmod(given.c_str(), 0700);
    EXPECT_EQ(PreparePrivateRuntimeFolder(), std::nullopt);
    EXPECT_EQ(PrivateRuntimeFolder(), given / "vantor");
    ::chmod(given.c_str(), 0777);
    const auto problem = PreparePrivateRuntimeFolder();
    ASSERT_TRUE(problem.has_value());
    EXPECT_THAT(*problem, HasSubstr("XDG_RUNTIME_DIR"));
    EXPECT_EQ(test::ModeOf(given), 0777u) << "not ours to change";
}

}  // namespace
}  // namespace vantor
