// The window's side of the system-wide capture: the helper's record stream read on a thread of
// its own and handed to the window thread, its failure told, and nothing handed over once
// stopped. A shell stands in for the privileged helper.
#include "system/SystemHelper.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "TempDirectory.h"
#include "TestSupport.h"
#include "capture/RecordStreamReader.h"
#include "platform/BlockingCallQueue.h"

namespace vantor {
namespace {

using namespace std::chrono_literals;

class SystemHelperTest : public testing::Test {
protected:
    // Runs the window's queue until done says so, for at most 10 s.
    template <typename Done>
    bool RunUntil(Done done) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            window.RunPending(10ms);
        }
        return true;
    }

    test::TempDirectory directory;
    BlockingCallQueue window;
    std::vector<std::string> received;
    std::vector<std::string> ended;
    SystemHelperSource source{window,
                              [this](const CaptureRecord&, std::span<const std::uint8_t> data) {
                                  received.emplace_back(data.begin(), data.end());
                              },
                              [this](const std::string& why) { ended.push_back(why); }};
};

TEST_F(SystemHelperTest, RecordsReachTheWindowUntilStoppedAndAFailureIsTold) {
    const auto records = directory / "records";
    {
        std::ofstream stream(records, std::ios::binary);
        for (const std::string data : {"GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 204 No\r\n\r\n"}) {
            WriteRecord(stream, test::Header(1, 0, 7, static_cast<std::uint32_t>(data.size())),
                        test::Bytes(data));
        }
    }
    // Like the helper: its records, then on until its input ends.
    ASSERT_EQ(source.Start({"/bin/sh", "-c", "cat '" + records.string() + "'; cat >/dev/null"}),
              std::nullopt);
    ASSERT_TRUE(RunUntil([&] { return received.size() == 2; }));
    EXPECT_EQ(received[1], "HTTP/1.1 204 No\r\n\r\n");
    EXPECT_TRUE(source.Running());
    source.Stop();
    std::this_thread::sleep_for(100ms);
    window.RunPending(10ms);
    EXPECT_TRUE(ended.empty()) << "a stop is no failure";

    ASSERT_EQ(source.Start({"/bin/sh", "-c", "echo 'Not authorized.' >&2; exit 126"}),
              std::nullopt);
    ASSERT_TRUE(RunUntil([&] { return !ended.empty(); }));
    EXPECT_EQ(ended.front(), "Not authorized.");
    EXPECT_FALSE(source.Running());

    EXPECT_NE(source.Start({(directory / "missing").string()}), std::nullopt);
}

}  // namespace
}  // namespace vantor
