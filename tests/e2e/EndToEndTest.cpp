// Real programs captured for real: a local HTTP server on 127.0.0.1, clients started through
// vantor-run, and vantor-dump capturing them.
#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <set>

#include "capture/CaptureChannel.h"
#include "capture/ChannelLayout.h"
#include "e2e/EndToEndFixture.h"

namespace vantor {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::EndToEndTest;
using test::kBin;
using test::kScripts;
using test::ParseListing;
using test::ReadWholeFile;
using test::Row;
using test::RunResult;
using testing::HasSubstr;

TEST_F(EndToEndTest, CurlAndPythonExchangesArriveAsPairedMessages) {
    StartCapture();
    EXPECT_EQ(Run(Captured({"curl", "-s", "-o", "/dev/null", Url("/echo/curl")})).status, 0);
    EXPECT_EQ(Run(Captured({"curl", "-s", "-o", "/dev/null", Url("/status/404")})).status, 0);
    EXPECT_EQ(
        Run(Captured({"curl", "-s", "-o", "/dev/null", "--data", "a=1&b=2", Url("/form")})).status,
        0);
    EXPECT_EQ(Run(Captured(Client({"echo", "keepalive", "5"}))).status, 0);
    const auto rows = StopCapture();

    const auto requests = Of(rows, "REQ");
    const auto responses = Of(rows, "RES");
    ASSERT_EQ(requests.size(), 8u);
    ASSERT_EQ(responses.size(), 8u);
    std::map<std::string, std::string> statusOf;  // target -> status code
    for (const Row& response : responses) {
        const Row* request = PairedRequest(rows, response);
        ASSERT_NE(request, nullptr) << response.caption;
        EXPECT_EQ(request->connection, response.connection);
        statusOf[request->methodOrStatus + " " + request->targetOrClass] = response.methodOrStatus;
        EXPECT_EQ(response.peer, "127.0.0.1:" + port);
    }
    EXPECT_EQ(statusOf["GET " + Target("/echo/curl")], "200");
    EXPECT_EQ(statusOf["GET " + Target("/status/404")], "404");
    EXPECT_EQ(statusOf["POST " + Target("/form")], "200");
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(statusOf["GET " + Target("/echo/keepalive/" + std::to_string(i))], "200");
    }
    // The five requests of the python client share one keep-alive connection.
    std::set<std::string> keepAlive;
    for (const Row& request : requests) {
        if (request.targetOrClass.find("/echo/keepalive/") != std::string::npos) {
            keepAlive.insert(request.connection);
        }
    }
    EXPECT_EQ(keepAlive.size(), 1u);
}

TEST_F(EndToEndTest, ABodyAboveOneMebibyteIsSplitIntoRecordsAndKeptWhole) {
    const auto file = directory / "large.vtr";
    const auto raw = directory / "large.records";
    StartCapture({"--set", "max_req_size=8000", "--set", "max_res_size=8000", "--save",
                  file.string(), "--raw", raw.string()});
    const RunResult post = Run(Captured(Client({"post", "3000000"})));
    EXPECT_EQ(post.status, 0) << post.errors;
    const RunResult download =
        Run(Captured({"curl", "-s", "-o", "/dev/null", Url("/text/2500000")}));
    EXPECT_EQ(download.status, 0);
    const auto live = StopCapture();
    ASSERT_EQ(live.size(), 4u);
    // Listed as soon as its header was complete: with the first record of the upload, which
    // was cut at the largest record.
    EXPECT_EQ(live[0].length, 1'048'524u);
    const auto rows = Saved(file);
    // The raw records replay to the same messages.
    const RunResult replayed =
        Run({kBin + "/vantor-dump", "--replay", raw.string(), "--format", "tsv", "--set",
             "max_req_size=8000", "--set", "max_res_size=8000"});
    EXPECT_EQ(replayed.status, 0) << replayed.errors;
    const auto replayedRows = ParseListing(replayed.output);
    ASSERT_EQ(replayedRows.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(replayedRows[i].length, rows[i].length);
        EXPECT_EQ(replayedRows[i].caption, rows[i].caption);
        EXPECT_EQ(replayedRows[i].paired, rows[i].paired);
    }
    struct stat status {};
    ASSERT_EQ(::stat(raw.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u) << "what was captured is the user's alone";
    ASSERT_EQ(::stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    const auto requests = Of(rows, "REQ");
    const auto responses = Of(rows, "RES");
    ASSERT_EQ(requests.size(), 2u);
    ASSERT_EQ(responses.size(), 2u);
    EXPECT_EQ(requests[0].methodOrStatus, "POST");
    EXPECT_EQ(requests[0].state, "ReadingBody");
    EXPECT_GT(requests[0].length, 3'000'000u);
    EXPECT_LT(requests[0].length, 3'000'200u);
    EXPECT_EQ(responses[1].state, "ReadingBody");
    EXPECT_GT(responses[1].length, 2'500'000u);
}

TEST_F(EndToEndTest, BodyOptionsAndContentTypesDecideWhatIsKept) {
    const auto file = directory / "options.vtr";
    StartCapture({"--set", "max_res_size=1", "--set", "scan_req_body=0", "--save", file.string()});
    Run(Captured({"curl", "-s", "-o", "/dev/null", Url("/image")}));
    Run(Captured({"curl", "-s", "-o", "/dev/null", Url("/text/300000")}));
    Run(Captured({"curl", "-s", "-o", "/dev/null", "--data", "0123456789", Url("/form")}));
    StopCapture();
    const auto rows = Saved(file);
    std::map<std::string, Row> responseTo;
    std::map<std::string, Row> request;
    for (const Row& row : rows) {
        if (row.kind == "REQ") {
            request[row.targetOrClass] = row;
        } else if (const Row* paired = PairedRequest(rows, row)) {
            responseTo[paired->targetOrClass] = row;
        }
    }
    EXPECT_EQ(responseTo[Target("/image")].state, "BodyFiltered");
    EXPECT_EQ(responseTo[Target("/image")].targetOrClass, "Image");
    EXPECT_EQ(responseTo[Target("/image")].skipped, 8 + 1024);
    EXPECT_EQ(request[Target("/form")].state, "BodyOff");
    EXPECT_EQ(request[Target("/form")].skipped, 10);
    // Text is kept until it grows past 1 KB; what came in the piece that crossed stays.
    const Row& text = responseTo[Target("/text/300000")];
    EXPECT_EQ(text.state, "TooLarge");
    EXPECT_GT(text.length, 1024u);
}

TEST_F(EndToEndTest, EightClientsAtOnceLoseNothing) {
    StartCapture();
    std::vector<std::unique_ptr<ChildProcess>> clients;
    for (int i = 0; i < 8; ++i) {
        clients.push_back(std::make_unique<ChildProcess>(
            Captured(Client({"echo", "p" + std::to_string(i), "50"})),
            directory / ("client" + std::to_string(i) + ".out"),
            directory / ("client" + std::to_string(i) + ".err")));
    }
    for (auto& client : clients) {
        EXPECT_EQ(client->Wait(120s), 0);
    }
    const auto rows = StopCapture();
    const auto responses = Of(rows, "RES");
    EXPECT_EQ(Of(rows, "REQ").size(), 400u);
    ASSERT_EQ(responses.size(), 400u);
    for (const Row& response : responses) {
        const Row* request = PairedRequest(rows, response);
        ASSERT_NE(request, nullptr) << response.caption;
        // The server names the path in its reason phrase: the response answers its own request.
        EXPECT_EQ("127.0.0.1:" + port + response.caption.substr(4), request->targetOrClass);
    }
}

TEST_F(EndToEndTest, ProgramsSeeExactlyTheSameBytesWithAndWithoutTheProvider) {
    const RunResult plain = Run({"curl", "-s", Url("/bytes/3000000")});
    const RunResult plainPython = Run(Client({"download", "/bytes/5000000"}));
    StartCapture({"--set", "max_res_size=8000"});
    const RunResult captured = Run(Captured({"curl", "-s", Url("/bytes/3000000")}));
    const RunResult capturedPython = Run(Captured(Client({"download", "/bytes/5000000"})));
    const RunResult peek = Run(Captured(Client({"peek"})));
    const RunResult wget = Run(Captured({"wget", "-q", "-O", "-", Url("/echo/wget")}));
    const auto rows = StopCapture();
    EXPECT_EQ(captured.status, 0);
    EXPECT_EQ(captured.output.size(), 3'000'000u);
    EXPECT_TRUE(captured.output == plain.output);
    EXPECT_EQ(capturedPython.output, plainPython.output);
    EXPECT_EQ(peek.output, "HTTP/1.1 /echo/peek\n");
    EXPECT_EQ(wget.output, "/echo/wget");
    // The peeked bytes are reported once, when they are read.
    for (const Row& row : rows) {
        if (row.caption == "200 /echo/peek") {
            EXPECT_LT(row.length, 250u);
        }
    }
}

TEST_F(EndToEndTest, UnusualSocketUseIsNeverBroken) {
    const std::vector<std::string> torture = {"python3", kScripts + "/socket_torture.py", port};
    const RunResult plain = Run(torture);
    ASSERT_EQ(plain.status, 0) << plain.errors;
    StartCapture();
    const RunResult captured = Run(Captured(torture));
    const auto rows = StopCapture();
    EXPECT_EQ(captured.status, 0) << captured.errors;
    EXPECT_EQ(captured.output, plain.output);
    // Everything sent was an HTTP request and came back, answered on its own connection
    // however the program moved the bytes (other descriptors, another process, discarded
    // unread); the signal handler's empty writes and the peeks add nothing.
    std::map<std::string, std::vector<std::string>> answers;  // target -> response captions
    for (const Row& row : rows) {
        if (row.kind == "REQ") {
            answers[row.targetOrClass];
        } else {
            const Row* request = PairedRequest(rows, row);
            ASSERT_NE(request, nullptr) << row.caption;
            EXPECT_EQ(request->connection, row.connection);
            answers[request->targetOrClass].push_back(row.caption);
        }
    }
    for (const char* path :
         {"/echo/vectored", "/echo/nonblocking", "/echo/peeking", "/echo/duplicated",
          "/echo/dup-first", "/echo/fdopen", "/echo/dup-keepalive/0", "/echo/dup-keepalive/1",
          "/echo/dup-keepalive/2", "/echo/discarded/0", "/echo/discarded/1", "/echo/discarded/2",
          "/echo/forked", "/echo/file", "/echo/thread5/9"}) {
        const auto found = answers.find(std::string("torture") + path);
        ASSERT_NE(found, answers.end()) << path;
        EXPECT_THAT(found->second, testing::ElementsAre(std::string("200 ") + path)) << path;
    }
    EXPECT_EQ(answers.count("torture/slow/200000"), 1u);
    EXPECT_EQ(Of(rows, "REQ").size(), answers.size()) << "no request glued to another";
}

TEST_F(EndToEndTest, DiscardedBodiesAreNeitherReportedNorCrashTheProgram) {
    const auto file = directory / "discarded.vtr";
    StartCapture({"--save", file.string()});
    const RunResult captured = Run(Captured({"python3", kScripts + "/socket_torture.py", port}));
    StopCapture();
    EXPECT_EQ(captured.status, 0) << captured.errors;
    for (const Row& row : Saved(file)) {
        if (row.caption == "200 /echo/discarded/0" || row.caption == "200 /echo/discarded/1") {
            // The header only: the body never reached a buffer the program could read.
            EXPECT_LT(row.length, 200u) << row.caption;
            EXPECT_GT(row.length, 60u) << row.caption;
        }
    }
}

TEST_F(EndToEndTest, KeepAliveTrafficStaysPairedAcrossAStopAndAStart) {
    StartCapture();
    const auto steps = directory / "steps";
    std::filesystem::create_directories(steps);
    ChildProcess client(Captured(Client({"steps", steps.string()})), directory / "steps.out",
                        directory / "steps.err");
    // The second request goes out while capturing; its answer comes while capture is stopped.
    const auto waitFor = [&](const std::string& name) {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!std::filesystem::exists(steps / name)) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(5ms);
        }
        return true;
    };
    ASSERT_TRUE(waitFor("sent-b"));
    const auto first = StopCapture();
    ASSERT_TRUE(waitFor("got-b")) << "answered while nothing captured";
    const auto gotB = std::chrono::steady_clock::now();
    StartCapture();
    // A running program looks for a new channel once a second after it saw capture stop.
    std::this_thread::sleep_until(gotB + 1200ms);
    std::ofstream(steps / "go-c").close();
    EXPECT_EQ(client.Wait(30s), 0) << ReadWholeFile(directory / "steps.err");
    const auto second = StopCapture();

    ASSERT_GE(first.size(), 3u);
    EXPECT_EQ(first[0].targetOrClass, Target("/echo/a"));
    EXPECT_EQ(first[2].targetOrClass, Target("/delay/1500/b"));
    ASSERT_EQ(second.size(), 2u) << "the next request is a request of its own, with its answer";
    EXPECT_EQ(second[0].kind, "REQ");
    EXPECT_EQ(second[0].targetOrClass, Target("/echo/c"));
    EXPECT_EQ(second[1].caption, "200 /echo/c");
    EXPECT_EQ(second[1].paired, "0");
}

TEST_F(EndToEndTest, AnUploadAfter100ContinueIsOneRequestAnsweredByTheFinalResponse) {
    const auto file = directory / "continue.vtr";
    StartCapture({"--save", file.string()});
    const auto body = directory / "body.txt";
    std::ofstream(body) << std::string(5000, 'x');
    // Asked for explicitly: the size from which curl asks by itself differs between versions.
    const RunResult upload =
        Run(Captured({"curl", "-s", "-o", "/dev/null", "-H", "Expect: 100-continue",
                      "--data-binary", "@" + body.string(), Url("/upload")}));
    EXPECT_EQ(upload.status, 0);
    EXPECT_EQ(Run(Captured({"curl", "-s", "-o", "/dev/null", Url("/echo/after")})).status, 0);
    StopCapture();
    // As captured, and as a saved document reads back.
    const auto rows = Saved(file);
    const auto requests = Of(rows, "REQ");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].methodOrStatus, "POST");
    EXPECT_GT(requests[0].length, 5000u) << "the body continues the request";
    const auto responses = Of(rows, "RES");
    ASSERT_EQ(responses.size(), 3u);
    EXPECT_EQ(responses[0].methodOrStatus, "100");
    EXPECT_EQ(responses[1].caption, "200 OK");
    EXPECT_EQ(responses[1].paired, std::to_string(requests[0].index));
    EXPECT_EQ(responses[0].paired, std::to_string(requests[0].index))
        << "the interim response answers the same request";
    EXPECT_EQ(responses[2].caption, "200 /echo/after");
}
TEST_F(EndToEndTest, ConnectionsThatAreNotHttpAreNotReported) {
    StartCapture();
    EXPECT_EQ(Run(Captured(Client({"tls"}))).status, 0);
    Run(Captured({"curl", "-s", "-o", "/dev/null", Url("/echo/after")}));
    const auto rows = StopCapture();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].targetOrClass, Target("/echo/after"));
}

TEST_F(EndToEndTest, AClientWhoseVantorIsKilledFinishesSoonWithCorrectData) {
    const RunResult plain = Run(Client({"download", "/slow/4000000"}));
    StartCapture({"--set", "max_res_size=8000"});
    auto client =
        std::make_unique<ChildProcess>(Captured(Client({"download", "/slow/4000000"})),
                                       directory / "killed.out", directory / "killed.err");
    std::this_thread::sleep_for(300ms);
    dump->Signal(SIGKILL);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(client->Wait(30s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 6s);
    EXPECT_EQ(ReadWholeFile(directory / "killed.out"), plain.output);

    // The killed Vantor left its catalog entries; the next start removes them first, and its
    // exit leaves only the base entries.
    const std::string catalog = ReadWholeFile(directory / "state" / "vantor" / "protocol-catalog");
    EXPECT_THAT(catalog, HasSubstr("VANTOR Linux TCP/IPv4"));
    StartCapture();
    const std::string during = ReadWholeFile(directory / "state" / "vantor" / "protocol-catalog");
    EXPECT_EQ(std::count(during.begin(), during.end(), '\n'),
              std::count(catalog.begin(), catalog.end(), '\n'));
    StopCapture();
    const std::string after = ReadWholeFile(directory / "state" / "vantor" / "protocol-catalog");
    EXPECT_THAT(after, testing::Not(HasSubstr("VANTOR")));
}

TEST_F(EndToEndTest, AVantorThatReadsNothingCostsAProgramOnlyTheWaitAndTheDropsAreTold) {
    const RunResult plain = Run(Client({"download", "/bytes/30000000"}));
    StartCapture({"--format", "jsonl", "--bodies", "--set", "max_res_size=100000"});
    dump->Signal(SIGSTOP);  // Vantor runs but reads nothing: the ring fills
    const auto started = std::chrono::steady_clock::now();
    const RunResult captured = Run(Captured(Client({"download", "/bytes/30000000"})));
    const auto took = std::chrono::steady_clock::now() - started;
    dump->Signal(SIGCONT);
    EXPECT_EQ(captured.status, 0);
    EXPECT_TRUE(captured.output == plain.output) << "the program's own bytes are untouched";
    // One wait for room, then the rest dropped: far from a stall per record.
    EXPECT_LT(took, 15s);
    dump->Signal(SIGINT);
    EXPECT_EQ(dump->Wait(20s), 0);
    EXPECT_THAT(ReadWholeFile(directory / "dump.err"),
                HasSubstr("records were dropped: the capture ring stayed full"));
    // The response the drops cut says how much of it is missing.
    const std::string listing = ReadWholeFile(directory / "dump.out");
    const std::size_t response = listing.find("\"kind\":\"response\"");
    ASSERT_NE(response, std::string::npos) << listing.substr(0, 2000);
    const std::size_t missing = listing.find("\"missing\":", response);
    ASSERT_NE(missing, std::string::npos);
    EXPECT_GT(std::stoull(listing.substr(missing + 10)), 1'000'000u);
}

TEST_F(EndToEndTest, SendsOnOneThreadAndReceivesOnAnotherStayPairedInOrder) {
    StartCapture();
    constexpr int kRuns = 10;
    for (int run = 0; run < kRuns; ++run) {
        EXPECT_EQ(Run(Captured(Client({"threads", "3"}))).status, 0);
    }
    const auto rows = StopCapture();
    ASSERT_EQ(rows.size(), 6u * kRuns) << "nothing dropped as a server that spoke first";
    for (const Row& row : rows) {
        if (row.kind != "RES") {
            continue;
        }
        const Row* request = PairedRequest(rows, row);
        ASSERT_NE(request, nullptr) << row.caption;
        // The echo server answers with the path as its reason phrase.
        EXPECT_EQ("127.0.0.1" + row.caption.substr(4), request->targetOrClass);
    }
}

TEST_F(EndToEndTest, LibrariesOpenedWithDeepBindingAreCapturedToo) {
    StartCapture();
    // As PHP opens its curl extension: the library binds to the C library past the preload.
    for (const char* binding : {"os.RTLD_NOW", "os.RTLD_LAZY"}) {
        const std::string script =
            std::string("import ctypes, os, sys\n"
                        "library = ctypes.CDLL(sys.argv[1], os.RTLD_DEEPBIND | ") +
            binding +
            ")\n"
            "sys.exit(0 if library.fetch(int(sys.argv[2]), sys.argv[3].encode()) > 0 else 1)\n";
        EXPECT_EQ(Run(Captured({"python3", "-c", script, kBin + "/libdeepbind_client.so", port,
                                std::string("/echo/deep/") + binding}))
                      .status,
                  0);
    }
    const auto rows = StopCapture();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0].targetOrClass, "127.0.0.1/echo/deep/os.RTLD_NOW");
    EXPECT_EQ(rows[2].targetOrClass, "127.0.0.1/echo/deep/os.RTLD_LAZY");
    EXPECT_EQ(rows[3].paired, "2");
}

TEST_F(EndToEndTest, AProgramStoppedOrKilledMidTransferHoldsUpNoOtherProgram) {
    StartCapture({"--set", "max_res_size=1"});
    // Large downloads, stopped (as a debugger would) at random moments: whatever it was doing
    // with its ring then, other programs are captured at once; then it is killed there.
    const auto capturedWhileStopped = [&](int round) {
        const std::string path = "/echo/meanwhile/" + std::to_string(round);
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(Run(Captured({"curl", "-s", "-o", "/dev/null", Url(path)})).status, 0);
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (ReadWholeFile(directory / "dump.out").find(Target(path)) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(10ms);
        }
        return std::chrono::steady_clock::now() - started < 5s;
    };
    std::mt19937 random(7);
    for (int round = 0; round < 4; ++round) {
        // Far more than it can receive before it is stopped, however fast the machine.
        ChildProcess client(Captured(Client({"bigrecv", "/stream/20000000000"})),
                            directory / "stopped.out", directory / "stopped.err");
        std::this_thread::sleep_for(std::chrono::milliseconds(50 + random() % 200));
        ASSERT_TRUE(client.StopNow());
        EXPECT_TRUE(capturedWhileStopped(round)) << "round " << round;
        client.Signal(SIGKILL);
        client.Signal(SIGCONT);
        EXPECT_EQ(client.Wait(10s), 128 + SIGKILL);
    }
    // And after them all, capture goes on: exchanges paired as ever.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Run(Captured({"curl", "-s", "-o", "/dev/null",
                                Url("/echo/after-kill/" + std::to_string(i))}))
                      .status,
                  0);
    }
    const auto rows = StopCapture();
    for (int i = 0; i < 3; ++i) {
        const std::string path = "/echo/after-kill/" + std::to_string(i);
        const auto request = std::find_if(rows.begin(), rows.end(), [&](const Row& row) {
            return row.kind == "REQ" && row.targetOrClass == Target(path);
        });
        ASSERT_NE(request, rows.end()) << path;
        EXPECT_TRUE(std::any_of(rows.begin(), rows.end(), [&](const Row& row) {
            return row.kind == "RES" && row.paired == std::to_string(request->index);
        })) << path;
    }
}

TEST_F(EndToEndTest, ALiveCaptureExportsAValidArchiveOfWhatItSaw) {
    const auto har = directory / "live.har";
    StartCapture({"--har", har.string()});
    for (const char* path : {"/echo/one", "/echo/two?x=1"}) {
        EXPECT_EQ(Run(Captured({"curl", "-s", "-o", "/dev/null", Url(path)})).status, 0);
    }
    StopCapture();
    const RunResult valid =
        Run({"python3", std::string(VANTOR_SOURCE_DIR) + "/tests/tools/validate_har.py", "--file",
             har.string(), std::string(VANTOR_SOURCE_DIR) + "/tests/data/har-1.2.schema.json"});
    EXPECT_EQ(valid.status, 0) << valid.errors;
    const std::string text = ReadWholeFile(har);
    for (const std::string& url : {Url("/echo/one"), Url("/echo/two?x=1")}) {
        EXPECT_THAT(text, HasSubstr("\"url\":\"" + url + "\"")) << url;
    }
    EXPECT_THAT(text, HasSubstr("\"status\":200"));
}

TEST_F(EndToEndTest, CaptureStartsAgainAfterAStop) {
    for (int round = 0; round < 2; ++round) {
        StartCapture({"--count", "2"});
        Run(Captured(
            {"curl", "-s", "-o", "/dev/null", Url("/echo/round" + std::to_string(round))}));
        EXPECT_EQ(dump->Wait(20s), 0) << "stops by itself after two messages";
        const auto rows = ParseListing(ReadWholeFile(directory / "dump.out"));
        ASSERT_EQ(rows.size(), 2u);
        EXPECT_EQ(rows[0].targetOrClass, Target("/echo/round" + std::to_string(round)));
    }
}

TEST_F(EndToEndTest, OnlyOneVantorCapturesAtATime) {
    StartCapture();
    const RunResult second = Run({kBin + "/vantor-dump", "--duration", "1"});
    EXPECT_EQ(second.status, 1);
    EXPECT_THAT(second.errors, HasSubstr("already running"));
    StopCapture();
}

TEST_F(EndToEndTest, AProviderInAFolderWithASpaceIsStillLoaded) {
    const auto folder = directory / "Program Files" / "vantor";
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(kBin + "/libvtcap.so", folder / "libvtcap.so");
    ::setenv("VANTOR_PROVIDER", (folder / "libvtcap.so").c_str(), 1);
    StartCapture();
    ::unsetenv("VANTOR_PROVIDER");
    const RunResult run = Run(Captured({"curl", "-s", "-o", "/dev/null", Url("/echo/spaced")}));
    const auto rows = StopCapture();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.errors, "") << "no loader complaints in the program's own output";
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].targetOrClass, Target("/echo/spaced"));
    EXPECT_TRUE(std::filesystem::is_symlink(directory / "runtime" / "vantor" / "libvtcap.so"));
}

TEST_F(EndToEndTest, WithoutVantorProgramsRunUnchanged) {
    const RunResult run = Run(Captured({"sh", "-c", "printf 'out'; printf 'err' >&2; exit 7"}));
    EXPECT_EQ(run.status, 7);
    EXPECT_EQ(run.output, "out");
    EXPECT_EQ(run.errors, "vantor-run: Vantor is not capturing; running sh without capture\nerr");
    const RunResult missing = Run(Captured({"no-such-program-here"}));
    EXPECT_EQ(missing.status, 127);
    StartCapture();
    const RunResult captured =
        Run(Captured({"sh", "-c", "printf 'out'; printf 'err' >&2; exit 7"}));
    EXPECT_EQ(captured.status, 7);
    EXPECT_EQ(captured.output, "out");
    EXPECT_EQ(captured.errors, "err") << "nothing added to the program's output";
    StopCapture();
}

}  // namespace
}  // namespace vantor
