#include "tools/dump/DumpCommand.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "PacketFiles.h"
#include "ScopedEnvironment.h"
#include "TempDirectory.h"
#include "TestSupport.h"
#include "options/AppStrings.h"
#include "capture/RecordStreamReader.h"
#include "platform/SettingsStore.h"

namespace vantor {
namespace {

using test::Bytes;
using test::Header;
using testing::HasSubstr;

struct DumpRun {
    int status;
    std::string output;
    std::string errors;
};

DumpRun Dump(std::vector<std::string> arguments) {
    std::ostringstream output;
    std::ostringstream errors;
    const int status = RunVantorDump(arguments, output, errors);
    return {status, output.str(), errors.str()};
}

class DumpCommandTest : public testing::Test {
protected:
    // Every run reads the current user's settings: give it a home of its own.
    DumpCommandTest() { environment.Set("XDG_CONFIG_HOME", configHome.path().string()); }

    std::string WriteStream(const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
        return path.string();
    }
    ~DumpCommandTest() override { std::filesystem::remove(path); }

    // A request and a text/html response with a body of the given size.
    std::string Exchange(std::size_t bodySize) {
        std::ostringstream stream;
        const std::string request = "GET /a HTTP/1.1\r\nHost: h\r\n\r\n";
        const std::string response =
            "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n" + std::string(bodySize, 'b');
        WriteRecord(stream, Header(1, 0, 9, static_cast<std::uint32_t>(request.size())),
                    Bytes(request));
        WriteRecord(stream, Header(2, 1, 9, static_cast<std::uint32_t>(response.size())),
                    Bytes(response));
        WriteRecord(stream, Header(2, 2, 9, 5), Bytes("more."));
        return stream.str();
    }

    std::string ResponseRow(const DumpRun& run) {
        return run.output.substr(run.output.find("\n1\t") + 1);
    }

    test::ScopedDefaultOptions options;
    test::TempDirectory configHome;
    test::ScopedEnvironment environment;
    std::filesystem::path path = std::filesystem::temp_directory_path() /
                                 ("vantor-dump-test-" + std::to_string(::getpid()) + ".records");
};

TEST_F(DumpCommandTest, UsageErrorsExitWithTwo) {
    for (const auto& arguments :
         std::vector<std::vector<std::string>>{{"--replay"},
                                               {"--format", "xml", "--replay", "f"},
                                               {"--bogus"},
                                               {"--replay", "f", "--capture"},
                                               {"--pcap"},
                                               {"--pcap", "f", "--capture"},
                                               {"--pcap", "f", "--count", "3"},
                                               {"--replay", "f", "--duration", "3"},
                                               {"--duration", "0"},
                                               {"--count", "many"},
                                               {"--replay", "f", "--bodies"},
                                               {"--replay", "f", "--format", "tsv", "--bodies"}}) {
        const DumpRun run = Dump(arguments);
        EXPECT_EQ(run.status, 2);
        EXPECT_THAT(run.errors, HasSubstr("usage: vantor-dump"));
        EXPECT_EQ(run.output, "");
    }
    const DumpRun help = Dump({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_THAT(help.output, HasSubstr("--replay FILE"));
}

TEST_F(DumpCommandTest, MissingFileIsAnErrorNamingIt) {
    const DumpRun run = Dump({"--replay", "/nonexistent/capture.records"});
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.errors, HasSubstr("cannot open /nonexistent/capture.records"));
}

TEST_F(DumpCommandTest, ReplayListsMessagesWithTheBodyRulesOfTheDefaults) {
    std::ostringstream stream;
    const std::string request = "GET /a HTTP/1.1\r\nHost: h\r\n\r\n";
    const std::string response = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<p>";
    WriteRecord(stream, Header(1, 0, 9, static_cast<std::uint32_t>(request.size())),
                Bytes(request));
    WriteRecord(stream, Header(2, 1, 9, static_cast<std::uint32_t>(response.size())),
                Bytes(response));
    const DumpRun run = Dump({"--replay", WriteStream(stream.str()), "--format", "tsv"});
    EXPECT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(run.output,
              "0\tREQ\t9\t127.0.0.1:8080\tReadingBody\tGET h/a\tGET\th/a\t0\t28\t-\n"
              "1\tRES\t9\t127.0.0.1:8080\tReadingBody\t200 OK\t200\tText\t0\t47\t0\n");
}

TEST_F(DumpCommandTest, JsonLinesWithBodiesAreOneObjectALine) {
    const DumpRun run =
        Dump({"--replay", WriteStream(Exchange(3)), "--format", "jsonl", "--bodies"});
    EXPECT_EQ(run.status, 0) << run.errors;
    EXPECT_THAT(run.output, HasSubstr("\"method\":\"GET\",\"target\":\"h/a\""));
    EXPECT_THAT(run.output, HasSubstr("\"body\":\"bbbmore.\"}\n"));
    EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 2);
}

TEST_F(DumpCommandTest, APacketCaptureIsListedAsItGoesOrKeptWhole) {
    std::vector<test::Packet> packets;
    for (const std::uint16_t port : {std::uint16_t{40000}, std::uint16_t{40001}}) {
        test::Conversation conversation(test::V4(10, 0, 0, 1, port), test::V4(10, 0, 0, 2, 80));
        conversation.Open();
        conversation.Client("GET /" + std::to_string(port) + " HTTP/1.1\r\nHost: h\r\n\r\n");
        conversation.Server("HTTP/1.1 204 No Content\r\n\r\n");
        conversation.Close();
        const auto framed = conversation.Framed(1);
        packets.insert(packets.end(), framed.begin(), framed.end());
    }
    const test::TempDirectory folder;
    const auto capture = folder / "two.pcap";
    test::WriteFile(capture, test::PcapFile(1, packets));
    const DumpRun streamed = Dump({"--pcap", capture.string(), "--format", "tsv"});
    EXPECT_EQ(streamed.status, 0) << streamed.errors;
    EXPECT_EQ(
        streamed.output,
        "0\tREQ\t1\t10.0.0.2:80\tReadingBody\tGET h/40000\tGET\th/40000\t0\t32\t-\n"
        "1\tRES\t1\t10.0.0.2:80\tReadingBody\t204 No Content\t204\tWithoutContent\t0\t27\t0\n"
        "2\tREQ\t2\t10.0.0.2:80\tReadingBody\tGET h/40001\tGET\th/40001\t0\t32\t-\n"
        "3\tRES\t2\t10.0.0.2:80\tReadingBody\t204 No Content\t204\tWithoutContent\t0\t27\t2\n");
    EXPECT_THAT(streamed.errors, HasSubstr("two.pcap: 16 packets, 2 HTTP connections of 2 TCP"));
    // Kept as a document: the same listing, and the file lists it again.
    const auto saved = folder / "two.vtr";
    const DumpRun kept =
        Dump({"--pcap", capture.string(), "--save", saved.string(), "--format", "tsv"});
    EXPECT_EQ(kept.status, 0) << kept.errors;
    EXPECT_EQ(kept.output, streamed.output);
    EXPECT_EQ(Dump({"--open", saved.string(), "--format", "tsv"}).output, streamed.output);

    // Cut inside the last connection: what came before, and a failure naming the file.
    test::Octets cut = test::PcapFile(1, packets);
    cut.resize(cut.size() - 30);
    test::WriteFile(capture, cut);
    const DumpRun truncated = Dump({"--pcap", capture.string(), "--format", "tsv"});
    EXPECT_EQ(truncated.status, 1);
    EXPECT_THAT(truncated.errors, HasSubstr("two.pcap: truncated"));
    EXPECT_THAT(truncated.output, HasSubstr("3\tRES\t2\t"));

    // Bytes the capture lost are told with the message they cut.
    test::Conversation lossy(test::V4(10, 0, 0, 1, 40002), test::V4(10, 0, 0, 2, 80));
    lossy.Open();
    lossy.Client("GET /lossy HTTP/1.1\r\nHost: h\r\n\r\n");
    lossy.Server("HTTP/1.1 200 OK\r\nContent-Length: 3000\r\n\r\n");
    lossy.SkipServer(1000);
    lossy.Server(std::string(2000, 'z'));
    lossy.AckFromClient();
    test::WriteFile(capture, test::PcapFile(1, lossy.Framed(1)));
    const DumpRun lines = Dump({"--pcap", capture.string(), "--format", "jsonl"});
    EXPECT_THAT(lines.output, HasSubstr("\"skipped\":0,\"missing\":1000,\"pair\":0"));
    EXPECT_THAT(lines.errors, HasSubstr("1000 bytes in 1 place not captured"));
    const DumpRun text = Dump({"--pcap", capture.string()});
    EXPECT_THAT(text.output, HasSubstr(" bytes, 1000 not captured]"));
    const auto archive = folder / "lossy.har";
    EXPECT_EQ(Dump({"--pcap", capture.string(), "--har", archive.string()}).status, 0);
    std::ifstream har(archive);
    EXPECT_THAT(std::string(std::istreambuf_iterator<char>(har), {}),
                HasSubstr("\"comment\":\"1000 bytes that followed were not captured"));
}

TEST_F(DumpCommandTest, BrokenStreamListsWhatCameBeforeAndFailsNamingTheOffset) {
    std::ostringstream stream;
    WriteRecord(stream, Header(1, 0, 9, 3), Bytes("GET"));
    WriteRecord(stream, Header(1, 1, 9, 2'000'000), {});
    const DumpRun run = Dump({"--replay", WriteStream(stream.str()), "--format", "tsv"});
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.output, HasSubstr("0\tREQ\t9\t"));
    EXPECT_THAT(run.errors, HasSubstr("record at byte offset 55: data length 2000000"));
}

TEST_F(DumpCommandTest, ArbitraryBytesNeverCrashTheReplay) {
    std::string bytes;
    std::uint32_t state = 12345;
    for (int round = 0; round < 300; ++round) {
        // Headers with small data lengths and directions in and around the table.
        std::ostringstream stream;
        for (int record = 0; record < 20; ++record) {
            state = state * 1103515245u + 12345u;
            const std::uint32_t length = (state >> 8) % 64;
            std::string data(length, '\0');
            for (char& c : data) {
                state = state * 1103515245u + 12345u;
                c = static_cast<char>("GET / HTTP\r\n: \0\xff"[(state >> 16) % 16]);
            }
            WriteRecord(stream,
                        Header((state >> 4) % 4, (state >> 6) % 4, (state >> 10) % 3, length),
                        Bytes(data));
        }
        bytes = stream.str();
        bytes.resize(bytes.size() - (state % 7));
        const DumpRun run = Dump({"--replay", WriteStream(bytes), "--format", "tsv"});
        ASSERT_TRUE(run.status == 0 || run.status == 1) << run.errors;
    }
}

TEST_F(DumpCommandTest, ReplaySavedOpenedAndSavedAgainGivesTheSameBytes) {
    const std::string records = WriteStream(Exchange(10));
    const std::string first = (configHome / "first.vtr").string();
    const std::string second = (configHome / "second.vtr").string();
    const DumpRun replay = Dump({"--replay", records, "--save", first, "--format", "tsv"});
    ASSERT_EQ(replay.status, 0) << replay.errors;
    const DumpRun opened = Dump({"--open", first, "--save", second, "--format", "tsv"});
    ASSERT_EQ(opened.status, 0) << opened.errors;
    EXPECT_EQ(opened.output, replay.output);
    std::ifstream a(first, std::ios::binary);
    std::ifstream b(second, std::ios::binary);
    EXPECT_TRUE(std::equal(std::istreambuf_iterator<char>(a), std::istreambuf_iterator<char>(),
                           std::istreambuf_iterator<char>(b), std::istreambuf_iterator<char>()));
}

TEST_F(DumpCommandTest, BadDocumentFilesPrintTheFrameworkText) {
    const std::string bad = (configHome / "bad.vtr").string();
    std::ofstream(bad, std::ios::binary) << "\x01\x00\xff\xff\x00\x00\x0b\x00HTTPMessage";
    const DumpRun run = Dump({"--open", bad});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.errors, "vantor-dump: Unexpected file format.\n");
    EXPECT_EQ(run.output, "");

    const std::string missing = (configHome / "missing.vtr").string();
    EXPECT_EQ(Dump({"--open", missing}).errors, "vantor-dump: " + missing + " was not found.\n");
    const DumpRun unsaved =
        Dump({"--replay", WriteStream(Exchange(1)), "--save", "/nonexistent/dir/x.vtr"});
    EXPECT_EQ(unsaved.status, 1);
    EXPECT_EQ(unsaved.errors, "vantor-dump: /nonexistent/dir/x.vtr was not found.\n");
}

TEST_F(DumpCommandTest, WhereverTheOutputGoesAFailedWriteFailsTheRun) {
    const std::string records = WriteStream(Exchange(10));
    std::ostream full(nullptr);  // every write fails, as on a full disk
    std::ostringstream errors;
    EXPECT_EQ(RunVantorDump(std::vector<std::string>{"--replay", records}, full, errors), 1);
    EXPECT_THAT(errors.str(), HasSubstr("cannot write the listing"));

    // A document saved into a pipe (/dev/stdout of a shell pipeline) arrives whole.
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const std::string descriptor = "/proc/self/fd/" + std::to_string(ends[1]);
    const DumpRun piped = Dump({"--replay", records, "--save", descriptor});
    ::close(ends[1]);
    EXPECT_EQ(piped.status, 0) << piped.errors;
    std::string document;
    char buffer[4096];
    for (ssize_t got; (got = ::read(ends[0], buffer, sizeof buffer)) > 0;) {
        document.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(ends[0]);
    const std::string file = (configHome / "file.vtr").string();
    ASSERT_EQ(Dump({"--replay", records, "--save", file}).status, 0);
    std::ifstream saved(file, std::ios::binary);
    EXPECT_EQ(document, std::string(std::istreambuf_iterator<char>(saved), {}));
}

TEST_F(DumpCommandTest, SetOverridesASettingForThisRun) {
    const std::string records = WriteStream(Exchange(2000));
    EXPECT_THAT(ResponseRow(Dump({"--replay", records, "--format", "tsv"})),
                HasSubstr("\tReadingBody\t"));
    EXPECT_THAT(
        ResponseRow(Dump({"--replay", records, "--format", "tsv", "--set", "max_res_size=1"})),
        HasSubstr("\tTooLarge\t"));
    EXPECT_THAT(
        ResponseRow(Dump({"--replay", records, "--format", "tsv", "--set", "scan_res_body=0"})),
        HasSubstr("\tBodyOff\t200 OK\t200\tText\t2005\t"));
    EXPECT_THAT(ResponseRow(Dump({"--replay", records, "--format", "tsv", "--set",
                                  "allowed_content=\"image/\""})),
                HasSubstr("\tBodyFiltered\t"));

    const DumpRun unknown = Dump({"--replay", records, "--set", "no_such_setting=1"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_THAT(unknown.errors, HasSubstr("unknown setting 'no_such_setting'"));
    EXPECT_EQ(Dump({"--replay", records, "--set", "max_res_size=big"}).status, 2);
    EXPECT_EQ(Dump({"--replay", records, "--set", "=1"}).status, 2);
}

TEST_F(DumpCommandTest, UserSettingsAreReadButNeverWritten) {
    const std::filesystem::path store = SettingsStore::CurrentUserFile();
    {
        SettingsStore settings(store);
        settings.WriteDword(std::string(kApplicationKey) + "\\Preferences", "scan_res_body", 0);
        ASSERT_TRUE(settings.Flush());
    }
    const auto written = std::filesystem::last_write_time(store);
    const DumpRun run = Dump({"--replay", WriteStream(Exchange(3)), "--format", "tsv"});
    EXPECT_THAT(ResponseRow(run), HasSubstr("\tBodyOff\t"));
    EXPECT_EQ(std::filesystem::last_write_time(store), written);

    const DumpRun shown = Dump({"--settings", "--set", "max_req_size=12"});
    EXPECT_EQ(shown.status, 0);
    EXPECT_THAT(shown.output, HasSubstr("Preferences/scan_res_body=0\n"));
    EXPECT_THAT(shown.output, HasSubstr("Preferences/max_req_size=12\n"));
    EXPECT_THAT(shown.output, HasSubstr("FilterSettings/rescode_success=1\n"));
}

// --filter picks exchanges for listings and the archive alike; --format curl writes commands.
TEST_F(DumpCommandTest, TheFilterPicksExchangesForEveryOutputAndCurlResendsThem) {
    const std::string sample = std::string(VANTOR_SOURCE_DIR) + "/samples/exchanges.records";
    const auto firstColumn = [](const std::string& listing) {
        std::string indexes;
        for (std::istringstream in(listing); in.peek() != EOF;) {
            std::string line;
            std::getline(in, line);
            indexes += line.substr(0, line.find('\t')) + " ";
        }
        return indexes;
    };
    struct Case {
        std::string filter;
        std::string indexes;
    };
    for (const Case& c : {Case{"status:4xx | status:5xx", "6 7 16 17 "}, Case{"proto:ws", "8 9 "},
                          Case{"host:shop -style", "10 13 "}}) {
        const DumpRun run = Dump({"--replay", sample, "--format", "tsv", "--filter", c.filter});
        EXPECT_EQ(run.status, 0) << run.errors;
        EXPECT_EQ(firstColumn(run.output), c.indexes) << c.filter;
    }

    const std::string har = (configHome.path() / "picked.har").string();
    const DumpRun curl = Dump({"--replay", sample, "--format", "curl", "--filter",
                               "method:POST | proto:h2", "--har", har});
    EXPECT_EQ(curl.status, 0) << curl.errors;
    EXPECT_EQ(curl.output,
              "curl -X 'POST' 'http://api.example.test/v1/users' -H 'Host: api.example.test' "
              "-H 'User-Agent: Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 Chrome/120' "
              "-H 'Accept: application/json' -H 'Accept-Encoding: gzip' "
              "-H 'Cookie: session=7f3a91' -H 'Content-Type: application/json' "
              "-H 'X-Request-Id: c0ffee-42' # The body was not kept: its content type is not "
              "among those kept (36 bytes skipped).\n"
              "curl --http2 'https://shop.example.test/cart' -H 'user-agent: curl/7.88.1' "
              "-H 'accept: */*'\n"
              "curl --http2 'https://shop.example.test/style.css' -H 'user-agent: curl/7.88.1'\n");
    std::ifstream archive(har);
    const std::string text((std::istreambuf_iterator<char>(archive)), {});
    EXPECT_EQ(std::count(text.begin(), text.end(), '"') > 0, true);
    std::size_t entries = 0;
    for (std::size_t at = 0; (at = text.find("\"startedDateTime\"", at)) != std::string::npos;
         ++at) {
        ++entries;
    }
    EXPECT_EQ(entries, 3u) << "the archive holds what the filter passes";

    const DumpRun mistake = Dump({"--replay", sample, "--filter", "stauts:404"});
    EXPECT_EQ(mistake.status, 2);
    EXPECT_THAT(mistake.errors, HasSubstr("--filter: unknown field 'stauts'"));
    EXPECT_THAT(mistake.errors, HasSubstr("\n  stauts:404\n  ^^^^^^"));
}

}  // namespace
}  // namespace vantor
