// Another local user against a user who captures: what the capture leaves where others can
// reach it, and what another user can put in its way. The other user is played by a child
// process that gives up root, so these tests need root; elsewhere they say so and skip.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "OtherUser.h"
#include "capture/CaptureChannel.h"
#include "capture/ChannelLayout.h"
#include "e2e/EndToEndFixture.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;
using test::kBin;
using test::ReadWholeFile;
using test::RunResult;
using testing::HasSubstr;

class SecurityTest : public test::EndToEndTest {
protected:
    void SetUp() override {
        if (!test::CanActAsOtherUser()) {
            GTEST_SKIP() << "needs root, to act as a second user";
        }
        EndToEndTest::SetUp();
        // Let the other user reach the files it is to be refused, so that their own
        // permissions are what is tested, not those of the folders above.
        fs::permissions(directory.path(), fs::perms::others_exec, fs::perm_options::add);
    }

};

TEST_F(SecurityTest, AnotherUserCanNeitherReachNorTakeOverTheChannel) {
    const auto shared = [] {
        std::set<fs::path> names;
        for (const auto& entry : fs::directory_iterator("/dev/shm")) {
            names.insert(entry.path());
        }
        return names;
    };
    const std::set<fs::path> before = shared();
    StartCapture();
    const fs::path socket = directory / "runtime" / "vantor" / VANTOR_CHANNEL_SOCKET_NAME;
    ASSERT_TRUE(fs::is_socket(socket));
    EXPECT_EQ(shared(), before) << "nothing of the capture's in a folder everyone shares";
    // The socket sits in a folder only the user may enter: another user cannot connect to it,
    // nor put one of theirs in its place.
    EXPECT_TRUE(*test::AsOtherUser([&] {
        const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
        const bool refused =
            ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
            errno == EACCES && ::unlink(socket.c_str()) != 0;
        ::close(fd);
        return refused;
    }));
    const RunResult run = Run(Captured({"curl", "-s", "-o", "/dev/null", Url("/echo/safe")}));
    const auto rows = StopCapture();
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].targetOrClass, Target("/echo/safe"));
}

TEST_F(SecurityTest, WhatWasCapturedIsTheUsersAlone) {
    const fs::path saved = directory / "capture.vtr";
    const fs::path raw = directory / "capture.records";
    StartCapture({"--save", saved.string(), "--raw", raw.string()});
    Run(Captured({"curl", "-s", "-o", "/dev/null", "-H", "Authorization: Bearer secret",
                  Url("/echo/private")}));
    StopCapture();
    ASSERT_THAT(ReadWholeFile(saved), HasSubstr("Bearer secret"));
    EXPECT_TRUE(*test::AsOtherUser([&] {
        return ::open(saved.c_str(), O_RDONLY) < 0 && errno == EACCES &&
               ::open(raw.c_str(), O_RDONLY) < 0 && errno == EACCES;
    }));
}

TEST_F(SecurityTest, ARuntimeFolderAnotherUserMadeStopsCaptureWithAClearError) {
    // Without XDG_RUNTIME_DIR the runtime folder has a name anyone can guess, in a folder
    // anyone can write.
    const fs::path shared = directory / "tmp";
    fs::create_directory(shared);
    ::chmod(shared.c_str(), 01777);
    const fs::path planted = shared / ("vantor-runtime-" + std::to_string(::geteuid()));
    ASSERT_TRUE(*test::AsOtherUser([&] { return ::mkdir(planted.c_str(), 0777) == 0; }));
    ::unsetenv("XDG_RUNTIME_DIR");
    ::setenv("TMPDIR", shared.c_str(), 1);
    const RunResult capture = Run({kBin + "/vantor-dump", "--duration", "1"});
    const RunResult run = Run(Captured({"sh", "-c", "printf ran"}));
    ::unsetenv("TMPDIR");
    EXPECT_EQ(capture.status, 1);
    EXPECT_THAT(capture.errors, HasSubstr("cannot capture: the runtime folder " + planted.string() +
                                          " belongs to another user"));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "ran");
    EXPECT_THAT(run.errors, HasSubstr("without capture"));
    EXPECT_TRUE(fs::is_empty(planted)) << "nothing of ours went in there";
}

TEST_F(SecurityTest, VantorRunRunsTheProgramWhenItCannotReadItsStateFolder) {
    // su without -l: the other user keeps this user's XDG_STATE_HOME, closed to it.
    fs::create_directories(directory / "state" / "vantor");
    fs::permissions(directory / "state", fs::perms::owner_all);
    const fs::path out = directory / "out";
    fs::create_directory(out);
    fs::permissions(out, fs::perms::all);
    // A copy the other user can reach, wherever the build folder lies (a home folder closed
    // to others, say).
    for (const char* file : {"vantor-run", "libvtcap.so", "libvtcap_audit.so"}) {
        fs::copy_file(kBin + "/" + file, out / file);
    }
    const std::string command =
        (out / "vantor-run").string() + " sh -c 'echo ran' >" + (out / "log").string() + " 2>&1";
    EXPECT_TRUE(*test::AsOtherUser([&] { return std::system(command.c_str()) == 0; }));
    EXPECT_EQ(ReadWholeFile(out / "log"),
              "vantor-run: cannot read " + (directory / "state" / "vantor").string() +
                  "/protocol-catalog: Permission denied; running sh without capture\nran\n");
}

TEST_F(SecurityTest, ALinkAnotherUserPlantedIsNotWrittenThrough) {
    const fs::path shared = directory / "tmp";
    fs::create_directory(shared);
    ::chmod(shared.c_str(), 01777);
    const fs::path victim = directory / "notes.txt";
    std::ofstream(victim) << "mine";
    const fs::path save = shared / "report.vtr";
    const fs::path raw = shared / "report.records";
    ASSERT_TRUE(*test::AsOtherUser([&] {
        return ::symlink(victim.c_str(), save.c_str()) == 0 &&
               ::symlink(victim.c_str(), raw.c_str()) == 0;
    }));
    const std::string sample = std::string(VANTOR_SOURCE_DIR) + "/samples/sample.records";
    const RunResult saving = Run({kBin + "/vantor-dump", "--replay", sample, "--save", save});
    EXPECT_EQ(saving.status, 1);
    EXPECT_THAT(saving.errors, HasSubstr("Access to " + save.string() + " was denied."));
    const RunResult recording = Run({kBin + "/vantor-dump", "--duration", "1", "--raw", raw});
    EXPECT_EQ(recording.status, 1);
    EXPECT_THAT(recording.errors, HasSubstr("cannot write " + raw.string()));
    EXPECT_EQ(ReadWholeFile(victim), "mine");
}

}  // namespace
}  // namespace vantor
