// The process a record names travels with its bytes into the messages, is saved in the newest
// schema and read back exactly; a damaged extension drops its record instead of showing as data.
#include <gtest/gtest.h>

#include <vector>

#include "DocumentBytes.h"
#include "TestSupport.h"
#include "capture/CaptureDispatch.h"
#include "document/CSnifferDoc.h"
#include "framework/ByteStreams.h"
#include "framework/CArchive.h"
#include "record/CaptureRecord.h"

namespace vantor {
namespace {

using test::Bytes;

ProcessInfo Curl() {
    return ProcessInfo{4242, 1000, "curl", "alice",
                       "/system.slice/docker-0123456789abcdef0123456789abcdef.scope"};
}

// A record as the system-wide source writes it: the flag in the header, the extension ahead of
// the data.
std::vector<std::uint8_t> WithProcess(CaptureRecord& header, const ProcessInfo& process,
                                      std::string_view data) {
    SetRecordExtensionFlags(header, VANTOR_EXTENSION_PROCESS);
    std::vector<std::uint8_t> bytes = EncodeProcessExtension(process);
    bytes.insert(bytes.end(), data.begin(), data.end());
    header.dataLength = static_cast<std::uint32_t>(bytes.size());
    return bytes;
}

TEST(ProcessExtensionTest, WellFormedExtensionsAreTakenAndDamagedOnesDropTheRecord) {
    const std::vector<std::uint8_t> good = EncodeProcessExtension(Curl());
    struct Case {
        const char* name;
        std::uint32_t flags;
        std::vector<std::uint8_t> extension;
        bool taken;
    };
    std::vector<std::uint8_t> longCommand = good;
    longCommand[12] = 16;  // past the kernel's 15 bytes
    std::vector<std::uint8_t> wrongSize = good;
    wrongSize[0] += 1;
    const std::vector<Case> cases = {
        {"well formed", VANTOR_EXTENSION_PROCESS, good, true},
        {"none announced", 0, {}, true},
        {"cut", VANTOR_EXTENSION_PROCESS, std::vector(good.begin(), good.end() - 1), false},
        {"shorter than its fields", VANTOR_EXTENSION_PROCESS,
         std::vector(good.begin(), good.begin() + 15), false},
        {"text past its limit", VANTOR_EXTENSION_PROCESS, longCommand, false},
        {"size not its texts'", VANTOR_EXTENSION_PROCESS, wrongSize, false},
        {"TLS records, with the process", VANTOR_EXTENSION_PROCESS | VANTOR_EXTENSION_TLS, good,
         true},
        {"TLS records", VANTOR_EXTENSION_TLS, {}, true},
        {"TLS plain text", VANTOR_EXTENSION_TLS_PLAIN, {}, true},
        {"an extension not known", VANTOR_EXTENSION_PROCESS | 8u, good, false},
    };
    for (const Case& c : cases) {
        CaptureRecord header = test::Header(1, 0, 9);
        SetRecordExtensionFlags(header, c.flags);
        std::vector<std::uint8_t> bytes = c.extension;
        if (c.taken) {
            bytes.push_back('G');
        }
        std::span<const std::uint8_t> data = bytes;
        ProcessCache processes;
        EXPECT_EQ(TakeRecordExtensions(header, data, processes), c.taken) << c.name;
        if (c.taken) {
            EXPECT_EQ(data.size(), 1u) << c.name << ": only the connection's bytes are left";
            EXPECT_EQ(header.peerAddress, test::Header(1, 0, 9).peerAddress)
                << c.name << ": the flags are not part of the peer";
            EXPECT_EQ(header.process != nullptr, (c.flags & VANTOR_EXTENSION_PROCESS) != 0)
                << c.name;
            EXPECT_EQ(header.tls, (c.flags & VANTOR_EXTENSION_TLS) != 0) << c.name;
            EXPECT_EQ(header.tlsText == TlsText::Hooked,
                      (c.flags & VANTOR_EXTENSION_TLS_PLAIN) != 0)
                << c.name;
        }
    }
}

TEST(ProcessExtensionTest, DescriptionsNameTheContainerOrService) {
    EXPECT_EQ(DescribeProcess(Curl()), "curl (pid 4242, user alice, docker 0123456789ab)");
    EXPECT_EQ(DescribeProcess({7, 33, "apt", "", "/system.slice/apt-daily.service"}),
              "apt (pid 7, user 33, apt-daily.service)");
    EXPECT_EQ(DescribeCgroup("/machine.slice/libpod-aaaabbbbccccdddd.scope"),
              "podman aaaabbbbcccc");
    EXPECT_EQ(DescribeCgroup("/user.slice/user-1000.slice/session-2.scope"), "session-2.scope");
    EXPECT_EQ(DescribeCgroup("/"), "");
}

TEST(ProcessDocumentTest, MessagesKeepTheirProcessThroughAFile) {
    CSnifferDoc document;
    CaptureDispatch dispatch([&document] { return &document; });
    CaptureRecord request = test::Header(1, 0, 5);
    auto bytes = WithProcess(request, Curl(), "GET / HTTP/1.1\r\nHost: h\r\n\r\n");
    dispatch.Dispatch(request, bytes);
    CaptureRecord response = test::Header(2, 1, 5);
    bytes = WithProcess(response, Curl(), "HTTP/1.1 204 No Content\r\n\r\n");
    dispatch.Dispatch(response, bytes);
    dispatch.Dispatch(test::Header(1, 0, 6, 18), Bytes("GET /x HTTP/1.1\r\n\r\n"));
    ASSERT_EQ(document.messages().size(), 3u);
    const HTTPMessage& first = *document.messages()[0];
    ASSERT_NE(first.process(), nullptr);
    EXPECT_EQ(*first.process(), Curl());
    EXPECT_EQ(first.process(), document.messages()[1]->process()) << "one description shared";
    EXPECT_EQ(first.text(), "GET / HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ(first.peerText(), "IP: 127.0.0.1:8080");
    EXPECT_EQ(first.processText(), "Process: curl (pid 4242, user alice, docker 0123456789ab)");
    EXPECT_EQ(document.messages()[2]->process(), nullptr);

    const auto stored = test::Stored(document);
    EXPECT_EQ(stored[4], HTTPMessage::kSchemaWithProcesses);
    CSnifferDoc loaded;
    MemoryByteSource source(stored);
    CArchive archive(source);
    loaded.Serialize(archive);
    ASSERT_EQ(loaded.messages().size(), 3u);
    EXPECT_EQ(*loaded.messages()[1]->process(), Curl());
    EXPECT_EQ(loaded.messages()[2]->process(), nullptr);
    EXPECT_EQ(test::Stored(loaded), stored) << "read back exactly";

    // Without a known process the file stays in the schema it always had.
    CSnifferDoc plain;
    plain.NewRequest(test::Header(1, 0, 4), Bytes("GET / HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(test::Stored(plain)[4], 0);
}

}  // namespace
}  // namespace vantor
