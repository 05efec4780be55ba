#include "platform/UserFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <fstream>
#include <string>

#include "OtherUser.h"
#include "TempDirectory.h"
#include "platform/AtomicFile.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& file) {
    std::ifstream input(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(input), std::istreambuf_iterator<char>()};
}

void Write(const fs::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}

class UserFilesTest : public testing::Test {
protected:
    test::TempDirectory directory;
};

TEST_F(UserFilesTest, TheUsersOwnLinksAreFollowedToTheFileTheyName) {
    const fs::path real = directory / "real.vtr";
    Write(real, "x");
    fs::create_symlink("real.vtr", directory / "relative");
    fs::create_symlink(directory / "relative", directory / "chain");
    EXPECT_EQ(ResolveTrustedLinks(directory / "chain"), directory / "real.vtr");
    EXPECT_EQ(ResolveTrustedLinks(real), real);
    EXPECT_EQ(ResolveTrustedLinks(directory / "new.vtr"), directory / "new.vtr");
    fs::create_symlink("missing.vtr", directory / "dangling");
    EXPECT_EQ(ResolveTrustedLinks(directory / "dangling"), directory / "missing.vtr")
        << "a new file where the link points";

    fs::create_symlink("loop-b", directory / "loop-a");
    fs::create_symlink("loop-a", directory / "loop-b");
    errno = 0;
    EXPECT_EQ(ResolveTrustedLinks(directory / "loop-a"), std::nullopt);
    EXPECT_EQ(errno, ELOOP);
}

TEST_F(UserFilesTest, FilesOpenedForWritingAreNewAndPrivateOrKeepTheirMode) {
    const mode_t oldMask = ::umask(022);
    const fs::path fresh = directory / "fresh.records";
    int fd = OpenUserFileForWriting(fresh);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "abc", 3), 3);
    ::close(fd);
    EXPECT_EQ(test::ModeOf(fresh), 0600u) << "captured traffic holds passwords and cookies";
    ::umask(oldMask);

    const fs::path shared = directory / "shared.records";
    Write(shared, "old and longer");
    ::chmod(shared.c_str(), 0640);
    fd = OpenUserFileForWriting(shared);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "new", 3), 3);
    ::close(fd);
    EXPECT_EQ(test::ModeOf(shared), 0640u);
    EXPECT_EQ(Read(shared), "new");

    // A file all may read keeps its mode but for all others, for this capture and the next.
    ::chmod(shared.c_str(), 0666);
    fd = OpenUserFileForWriting(shared);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(test::ModeOf(shared), 0660u);
    ::chmod(shared.c_str(), 0644);
    ReplacingFile replacing(shared);
    ASSERT_TRUE(replacing.ok());
    ::close(replacing.TakeDescriptor());
    ASSERT_TRUE(replacing.Commit());
    EXPECT_EQ(test::ModeOf(shared), 0640u);
}

TEST_F(UserFilesTest, AFileAnotherUserLeftInAStickyFolderIsNotWrittenByAnyone) {
    const fs::path shared = directory / "shared";
    fs::create_directory(shared);
    ::chmod(shared.c_str(), 01777);
    const fs::path file = shared / "capture.records";
    const fs::path fifo = shared / "capture.fifo";
    const auto made = test::AsOtherUser([&] {
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
        return fd >= 0 && ::fchmod(fd, 0666) == 0 && ::close(fd) == 0 &&
               ::mkfifo(fifo.c_str(), 0666) == 0;
    });
    if (!made) {
        GTEST_SKIP() << "needs root, to leave files as another user";
    }
    ASSERT_TRUE(*made);
    for (const fs::path& planted : {file, fifo}) {
        errno = 0;
        EXPECT_EQ(OpenUserFileForWriting(planted), -1) << planted;
        EXPECT_EQ(errno, EACCES);
        ReplacingFile replacing(planted);
        EXPECT_FALSE(replacing.ok()) << planted;
        EXPECT_EQ(replacing.error(), EACCES);
    }
    EXPECT_EQ(fs::file_size(file), 0u);
    EXPECT_EQ(test::ModeOf(file), 0666u);
}

TEST_F(UserFilesTest, DescriptorsAndPipesAreWrittenAsTheyAreAndNeverWaitedFor) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const fs::path descriptor = "/proc/self/fd/" + std::to_string(ends[1]);
    for (int round = 0; round < 2; ++round) {
        int fd = -1;
        std::optional<ReplacingFile> replacing;
        if (round == 0) {
            fd = OpenUserFileForWriting(descriptor);
        } else {
            replacing.emplace(descriptor);
            fd = replacing->ok() ? replacing->TakeDescriptor() : -1;
        }
        ASSERT_GE(fd, 0) << round << ": " << std::strerror(errno);
        ASSERT_EQ(::write(fd, "ab", 2), 2);
        ::close(fd);
        if (replacing) {
            EXPECT_TRUE(replacing->Commit());
        }
        char read[2];
        ASSERT_EQ(::read(ends[0], read, 2), 2);
        EXPECT_EQ(std::string(read, 2), "ab");
    }
    ::close(ends[0]);
    ::close(ends[1]);

    // A FIFO nobody reads is an error at once, not a wait.
    const fs::path fifo = directory / "nobody-reads";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    errno = 0;
    EXPECT_EQ(OpenUserFileForWriting(fifo), -1);
    EXPECT_EQ(errno, ENXIO);
    EXPECT_FALSE(ReplacingFile(fifo).ok());
}

TEST_F(UserFilesTest, ALinkAnotherUserPlantedInASharedFolderIsNotFollowed) {
    // A folder everyone may write, like /tmp, and a file of the user's.
    const fs::path shared = directory / "shared";
    fs::create_directory(shared);
    ::chmod(shared.c_str(), 01777);
    const fs::path victim = directory / "victim";
    Write(victim, "precious");
    const fs::path planted = shared / "report.vtr";
    const auto made =
        test::AsOtherUser([&] { return ::symlink(victim.c_str(), planted.c_str()) == 0; });
    if (!made) {
        GTEST_SKIP() << "needs root, to plant a link as another user";
    }
    ASSERT_TRUE(*made);
    errno = 0;
    EXPECT_EQ(ResolveTrustedLinks(planted), std::nullopt);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(OpenUserFileForWriting(planted), -1);
    EXPECT_EQ(Read(victim), "precious");

    // Nor one of another user in a folder of theirs.
    const fs::path theirs = directory / "theirs";
    fs::create_directory(theirs);
    ASSERT_EQ(::chown(theirs.c_str(), test::kOtherUser, test::kOtherGroup), 0);
    ASSERT_TRUE(*test::AsOtherUser(
        [&] { return ::symlink(victim.c_str(), (theirs / "out.vtr").c_str()) == 0; }));
    EXPECT_EQ(ResolveTrustedLinks(theirs / "out.vtr"), std::nullopt);

    // The user's own link in the shared folder is theirs to follow.
    fs::create_symlink(victim, shared / "mine.vtr");
    EXPECT_EQ(ResolveTrustedLinks(shared / "mine.vtr"), victim);
}

TEST_F(UserFilesTest, AtomicWritesUseNoFileOrLinkSomeoneMadeBeforehand) {
    const fs::path file = directory / "settings.reg";
    const fs::path target = directory / "target";
    Write(target, "untouched");
    // The temporary names of earlier versions were easy to guess.
    for (const std::string& guess :
         {".tmp-" + std::to_string(::getpid()), std::string(".tmp"), std::string(".saving")}) {
        fs::path planted = file;
        planted += guess;
        fs::create_symlink(target, planted);
    }
    ASSERT_TRUE(WriteFileAtomically(file, "new text"));
    EXPECT_EQ(Read(file), "new text");
    EXPECT_EQ(Read(target), "untouched");
    EXPECT_EQ(test::ModeOf(file), 0600u);
    EXPECT_FALSE(fs::is_symlink(file));
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(directory.path())) {
        ++entries;
    }
    EXPECT_EQ(entries, 5u) << "no temporary file left behind";
}

}  // namespace
}  // namespace vantor
