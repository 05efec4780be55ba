#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "DocumentBytes.h"
#include "OtherUser.h"
#include "TempDirectory.h"
#include "TestSupport.h"
#include "document/CSnifferDoc.h"
#include "framework/ByteStreams.h"
#include "framework/CArchive.h"

namespace vantor {
namespace {

using test::Header;
using test::RecordingView;
using testing::ElementsAre;

std::vector<std::uint8_t> ReadFile(const std::filesystem::path& file) {
    std::ifstream input(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(input), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

using test::Stored;

// Index in the document's list of each request's response, or -1.
std::vector<int> Pairing(const CSnifferDoc& document) {
    std::vector<int> pairing;
    for (const auto& message : document.messages()) {
        const auto* request = dynamic_cast<const HTTPRequest*>(message.get());
        if (request == nullptr) {
            continue;
        }
        int index = -1;
        for (std::size_t i = 0; i < document.messages().size(); ++i) {
            if (document.messages()[i].get() == request->response()) {
                index = static_cast<int>(i);
            }
        }
        pairing.push_back(index);
    }
    return pairing;
}

class DocumentFileTest : public testing::Test {
protected:
    DocumentFileTest() { document.AddView(&view); }

    void Send(std::uint32_t previous, std::uint32_t connection, std::string_view data) {
        document.NewRequest(Header(1, previous, connection), test::Bytes(data));
    }
    void Receive(std::uint32_t connection, std::string_view data) {
        document.NewResponse(Header(2, 1, connection), test::Bytes(data));
    }
    void ReceiveMore(std::uint32_t connection, std::string_view data) {
        document.AppendResponse(Header(2, 2, connection), test::Bytes(data));
    }

    // Requests and responses whose pairing exercises every rule: a connection id reused by a
    // newer request, a response whose latest request already has one, an orphan response.
    void Capture() {
        Send(0, 1, "GET /old HTTP/1.1\r\nHost: a\r\n\r\n");
        Send(0, 1, "GET /new HTTP/1.1\r\nHost: a\r\n\r\n");
        Receive(1, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<p>new</p>");
        Receive(1, "HTTP/1.1 500 Second\r\n\r\n");
        Receive(2, "HTTP/1.1 204 Orphan\r\n\r\n");
        Send(0, 3, "POST /form HTTP/1.1\r\nHost: b\r\nContent-Type: image/png\r\n\r\nPNG\0\0");
        Receive(3, "HTTP/1.1 302 Found\r\nLocation: /x\r\n");
        ReceiveMore(3, "Content-Type: image/gif\r\n\r\nGIF89a");
        Send(2, 3, "GET /x HTTP/1.1\r\nHo");
    }

    test::TempDirectory directory;
    std::string path = (directory / "capture.vtr").string();
    CSnifferDoc document;
    RecordingView view;
};

TEST_F(DocumentFileTest, AnEmptyDocumentIsTwoZeroBytesAndAnEmptyFileIsAnEmptyDocument) {
    ASSERT_EQ(document.OnSaveDocument(path), std::nullopt);
    EXPECT_EQ(ReadFile(path), (std::vector<std::uint8_t>{0, 0}));
    ASSERT_EQ(document.OnOpenDocument(path), std::nullopt);
    EXPECT_TRUE(document.messages().empty());

    WriteFile(path, {});
    Capture();
    ASSERT_EQ(document.OnOpenDocument(path), std::nullopt);
    EXPECT_TRUE(document.messages().empty());
    EXPECT_EQ(document.GetPathName(), path);
}

TEST_F(DocumentFileTest, SavedOpenedAndSavedAgainGivesTheSameBytesAndTheSamePairs) {
    Capture();
    const std::vector<int> pairs = Pairing(document);
    EXPECT_THAT(pairs, ElementsAre(-1, 2, 6, -1));
    ASSERT_EQ(document.OnSaveDocument(path), std::nullopt);
    EXPECT_FALSE(document.IsModified());
    EXPECT_EQ(document.GetPathName(), path);
    const auto first = ReadFile(path);

    CSnifferDoc reopened;
    RecordingView reopenedView;
    reopened.AddView(&reopenedView);
    ASSERT_EQ(reopened.OnOpenDocument(path), std::nullopt);
    EXPECT_EQ(Pairing(reopened), pairs);
    ASSERT_EQ(reopened.messages().size(), document.messages().size());
    for (std::size_t i = 0; i < reopened.messages().size(); ++i) {
        const HTTPMessage& a = *document.messages()[i];
        const HTTPMessage& b = *reopened.messages()[i];
        EXPECT_EQ(a.GetRuntimeClass(), b.GetRuntimeClass());
        EXPECT_EQ(a.text(), b.text());
        EXPECT_EQ(a.state(), b.state());
        EXPECT_EQ(a.caption(), b.caption());
        EXPECT_EQ(a.skipped(), b.skipped());
        EXPECT_EQ(a.firstTime(), b.firstTime());
        EXPECT_EQ(a.peerAddress(), b.peerAddress());
        EXPECT_EQ(test::FieldsOf(a.headers()), test::FieldsOf(b.headers()))
            << "rebuilt from the text";
        EXPECT_EQ(a.headerEnd(), b.headerEnd());
    }
    EXPECT_EQ(reopened.requests().size(), 4u);
    EXPECT_EQ(reopened.responses().size(), 4u);

    const std::string again = (directory / "again.vtr").string();
    ASSERT_EQ(reopened.OnSaveDocument(again), std::nullopt);
    EXPECT_EQ(ReadFile(again), first);
}

TEST_F(DocumentFileTest, BinaryBodiesComeBackAsTheyCameInTheNewerSchema) {
    using namespace std::string_literals;
    const std::string png = "\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0x"s;
    const std::string header = "HTTP/1.1 200 OK\r\n\r\n";
    Send(0, 1, "GET /i HTTP/1.1\r\n\r\n");
    Receive(1, header + png);
    ASSERT_EQ(document.OnSaveDocument(path), std::nullopt);
    const auto saved = ReadFile(path);
    ASSERT_GT(saved.size(), 4u);
    EXPECT_EQ(saved[4], HTTPMessage::kSchemaWithNulBytes) << "the first class tag's schema";

    CSnifferDoc reopened;
    ASSERT_EQ(reopened.OnOpenDocument(path), std::nullopt);
    const HTTPMessage& response = *reopened.messages().at(1);
    EXPECT_EQ(response.BytesAsTheyCame(header.size(), response.text().size()), png);
    const std::string again = (directory / "again.vtr").string();
    ASSERT_EQ(reopened.OnSaveDocument(again), std::nullopt);
    EXPECT_EQ(ReadFile(again), saved);

    // The runs (a count, then the gap before each run and its length): NUL bytes told where
    // the text has something else, or past its end, are refused.
    const std::vector<std::uint8_t> runs = {2, 0, 0, 0, 27, 0, 0, 0, 3, 0, 0, 0,
                                            5, 0, 0, 0, 3,  0, 0, 0};
    const auto at = std::search(saved.begin(), saved.end(), runs.begin(), runs.end());
    ASSERT_NE(at, saved.end());
    const auto offset = static_cast<std::size_t>(at - saved.begin());
    for (const auto& [field, value] : {std::pair{4u, 26u}, {16u, 200u}, {12u, 0xFFFFFFF0u}}) {
        auto altered = saved;
        for (unsigned byte = 0; byte < 4; ++byte) {
            altered[offset + field + byte] = static_cast<std::uint8_t>(value >> (8 * byte));
        }
        WriteFile(path, altered);
        EXPECT_TRUE(reopened.OnOpenDocument(path).has_value()) << field << " = " << value;
    }
}

TEST_F(DocumentFileTest, OpeningLowersFlagsAndLeavesADocumentReadyForItsViews) {
    Capture();
    HTTPMessage& raised = *document.messages()[6];
    ASSERT_TRUE(raised.IsCaptionChanged()) << "no view lowered it";
    ASSERT_EQ(document.OnSaveDocument(path), std::nullopt);

    view.updates.clear();
    document.SetModifiedFlag(true);
    document.SetTreeDirty(false);
    ASSERT_EQ(document.OnOpenDocument(path), std::nullopt);
    for (const auto& message : document.messages()) {
        EXPECT_FALSE(message->IsCaptionChanged());
    }
    EXPECT_FALSE(document.IsModified());
    EXPECT_TRUE(document.treeDirty());
    EXPECT_THAT(view.updates, ElementsAre(RecordingView::Update{0, nullptr}))
        << "the initial update after a successful open";
}

TEST_F(DocumentFileTest, CaptureGoesOnAgainstLoadedMessages) {
    Capture();
    ASSERT_EQ(document.OnSaveDocument(path), std::nullopt);
    CSnifferDoc reopened;
    ASSERT_EQ(reopened.OnOpenDocument(path), std::nullopt);
    reopened.AppendRequest(Header(1, 1, 3), test::Bytes("st: b\r\n\r\n"));
    const HTTPRequest& last = *reopened.requests().back();
    EXPECT_EQ(last.state(), AssemblyState::ReadingBody);
    EXPECT_EQ(last.target(), "b/x");
    reopened.NewResponse(Header(2, 1, 3), test::Bytes("HTTP/1.1 200 OK\r\n\r\n"));
    EXPECT_EQ(last.response(), reopened.responses().back());
}

TEST_F(DocumentFileTest, CountsFrom65535UseTheLongForm) {
    for (int i = 0; i < 65535; ++i) {
        Send(0, static_cast<std::uint32_t>(i), "G");
    }
    const auto bytes = Stored(document);
    EXPECT_THAT(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 6),
                ElementsAre(0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00));
    MemoryByteSource source(bytes);
    CArchive archive(source);
    CSnifferDoc loaded;
    loaded.Serialize(archive);
    EXPECT_EQ(loaded.messages().size(), 65535u);
}

TEST_F(DocumentFileTest, TextIsTakenUpToItsFirstZeroByte) {
    Send(0, 1, "GET /abc HTTP/1.0\r\n\r\n");
    auto bytes = Stored(document);
    const std::string_view text = "GET /abc";
    const auto at = std::search(bytes.begin(), bytes.end(), text.begin(), text.end());
    ASSERT_NE(at, bytes.end());
    *(at + 6) = 0;  // "GET /a\0c HTTP/1.0..."
    WriteFile(path, bytes);
    ASSERT_EQ(document.OnOpenDocument(path), std::nullopt);
    EXPECT_EQ(document.messages()[0]->text(), "GET /a");
}

TEST_F(DocumentFileTest, DetailLinesWithoutTerminatorAreCutToTheirBuffers) {
    Send(0, 1, "GET / HTTP/1.0\r\n\r\n");
    auto bytes = Stored(document);
    const std::size_t timeText = 2 + 2 + 2 + 2 + 11 + 4 + 14;
    ASSERT_EQ(bytes[timeText], 'T');
    std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(timeText), 60, 'X');
    WriteFile(path, bytes);
    ASSERT_EQ(document.OnOpenDocument(path), std::nullopt);
    EXPECT_EQ(document.messages()[0]->timeText(), std::string(29, 'X'));
    EXPECT_EQ(document.messages()[0]->peerText(), std::string(30, 'X'));
}

class DocumentFileErrorTest : public DocumentFileTest {
protected:
    // Opens bytes as a file and expects the message; the document must then be empty,
    // untitled, unmodified, and its views told to rebuild.
    void ExpectOpenFails(const std::vector<std::uint8_t>& bytes, const std::string& message) {
        WriteFile(path, bytes);
        Capture();
        document.SetPathName("/previous.vtr");
        view.updates.clear();
        EXPECT_EQ(document.OnOpenDocument(path), message);
        EXPECT_TRUE(document.messages().empty());
        EXPECT_TRUE(document.requests().empty());
        EXPECT_EQ(document.GetPathName(), "");
        EXPECT_FALSE(document.IsModified());
        EXPECT_THAT(view.updates, ElementsAre(RecordingView::Update{HINT_REBUILD, nullptr}));
    }

    std::vector<std::uint8_t> Pair() {
        Send(0, 1, "GET / HTTP/1.1\r\n\r\n");
        Receive(1, "HTTP/1.1 200 OK\r\n\r\n");
        auto bytes = Stored(document);
        document.OnNewDocument();
        return bytes;
    }
};

TEST_F(DocumentFileErrorTest, AFileEndingInsideAnEntryIsUnexpected) {
    const auto whole = Pair();
    for (std::size_t length = 1; length < whole.size(); ++length) {
        SCOPED_TRACE(length);
        ExpectOpenFails(std::vector<std::uint8_t>(
                            whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length)),
                        "Unexpected file format.");
        if (HasFailure()) {
            return;
        }
    }
}

TEST_F(DocumentFileErrorTest, ClassesAndTagsOtherThanOursAreUnexpected) {
    const auto whole = Pair();
    auto patched = [&](std::size_t offset, std::vector<std::uint8_t> bytes) {
        auto copy = whole;
        std::copy(bytes.begin(), bytes.end(), copy.begin() + static_cast<std::ptrdiff_t>(offset));
        return copy;
    };
    ASSERT_THAT(std::vector<std::uint8_t>(whole.begin(), whole.begin() + 8),
                ElementsAre(2, 0, 0xFF, 0xFF, 0, 0, 11, 0));
    ExpectOpenFails(patched(8, {'H', 'T', 'T', 'P', 'M', 'e', 's', 's', 'a', 'g', 'e'}),
                    "Unexpected file format.");
    ExpectOpenFails(patched(8, {'h'}), "Unexpected file format.");
    {
        SCOPED_TRACE("schema 2, newer than this program reads");
        ExpectOpenFails(patched(4, {2, 0}), "Unexpected file format.");
    }
    {
        SCOPED_TRACE("undefined class");
        ExpectOpenFails(patched(2, {0x05, 0x80}), "Unexpected file format.");
    }
    {
        SCOPED_TRACE("absent object");
        ExpectOpenFails(patched(2, {0x00, 0x00}), "Unexpected file format.");
    }
    {
        SCOPED_TRACE("repeated object");
        ExpectOpenFails(patched(2, {0x01, 0x00}), "Unexpected file format.");
    }
}

TEST_F(DocumentFileErrorTest, ClaimsBeyondTheFileFailWithoutAllocatingThem) {
    auto bytes = Pair();
    bytes[0] = 0xFF;
    bytes[1] = 0xFF;
    bytes.insert(bytes.begin() + 2, {0xFF, 0xFF, 0xFF, 0xFF});  // four billion messages
    ExpectOpenFails(bytes, "Unexpected file format.");

    // The text of the first message claims 4 GiB.
    auto huge = Pair();
    const std::size_t textPrefix = 2 + 2 + 2 + 2 + 11 + 4 + 14 + 30 + 30 + 16 + 16;
    ASSERT_EQ(huge[textPrefix], 18);
    huge[textPrefix] = 0xFF;
    huge.insert(huge.begin() + static_cast<std::ptrdiff_t>(textPrefix) + 1,
                {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    ExpectOpenFails(huge, "Unexpected file format.");
}

TEST_F(DocumentFileErrorTest, FileSystemFailuresNameTheFile) {
    const std::string missing = (directory / "missing.vtr").string();
    EXPECT_EQ(document.OnOpenDocument(missing), missing + " was not found.");
    EXPECT_EQ(document.OnOpenDocument(directory.path().string()), "Failed to open document.");
    const std::string nowhere = (directory / "no" / "such" / "dir.vtr").string();
    EXPECT_EQ(document.OnSaveDocument(nowhere), nowhere + " was not found.");
}

TEST_F(DocumentFileErrorTest, UnreadableAndUnwritablePlacesAreDenied) {
    Capture();
    ASSERT_EQ(document.OnSaveDocument(path), std::nullopt);
    const std::filesystem::path locked = directory / "locked";
    std::filesystem::create_directory(locked);
    ::chmod(path.c_str(), 0);
    ::chmod(locked.c_str(), 0555);
    const std::string inLocked = (locked / "new.vtr").string();
    // Permissions do not hold for root: check them in a child that gives its privileges up.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            ::_exit(3);
        }
        CSnifferDoc other;
        const bool openDenied = other.OnOpenDocument(path) == "Access to " + path + " was denied.";
        const bool saveDenied =
            other.OnSaveDocument(inLocked) == "Access to " + inLocked + " was denied.";
        ::_exit(openDenied && saveDenied ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

// The file system refuses the save part way through: the file that was there stays whole, and
// no temporary file is left behind.
TEST_F(DocumentFileErrorTest, AFailedSaveLeavesTheOldFileAsItWas) {
    Capture();
    ASSERT_EQ(document.OnSaveDocument(path), std::nullopt);
    const auto before = ReadFile(path);
    for (int i = 0; i < 200; ++i) {
        Send(0, 10, std::string(1000, 'x'));
    }

    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    ::sigaction(SIGXFSZ, &ignore, &previous);
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    const rlimit small{100'000, limit.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &small);
    const auto result = document.OnSaveDocument(path);
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::sigaction(SIGXFSZ, &previous, nullptr);

    EXPECT_EQ(result, "Disk full while accessing " + path + ".");
    EXPECT_EQ(ReadFile(path), before);
    EXPECT_TRUE(document.IsModified());
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory.path()),
                            std::filesystem::directory_iterator()),
              1);
}

TEST_F(DocumentFileTest, ANewDocumentFileIsTheUsersAlone) {
    const mode_t oldMask = ::umask(022);
    Capture();
    ASSERT_EQ(document.OnSaveDocument(path), std::nullopt);
    ::umask(oldMask);
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u) << "it holds other people's cookies and passwords";
}

TEST_F(DocumentFileErrorTest, AWriteProtectedDocumentIsNotReplaced) {
    Capture();
    ASSERT_EQ(document.OnSaveDocument(path), std::nullopt);
    const auto before = ReadFile(path);
    ::chmod(path.c_str(), 0444);
    const auto check = [&] {
        CSnifferDoc other;
        return other.OnSaveDocument(path) == "Access to " + path + " was denied.";
    };
    // Root may write anything: the rule is checked as the file's owner without privileges.
    if (test::CanActAsOtherUser()) {
        ASSERT_EQ(::chown(path.c_str(), test::kOtherUser, test::kOtherGroup), 0);
        ASSERT_EQ(::chown(directory.path().c_str(), test::kOtherUser, test::kOtherGroup), 0);
        EXPECT_TRUE(*test::AsOtherUser(check));
    } else {
        EXPECT_TRUE(check());
    }
    EXPECT_EQ(ReadFile(path), before);
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0444u);
}

TEST_F(DocumentFileErrorTest, ALinkPlantedByAnotherUserIsNotFollowed) {
    // The user saves to a name in a folder everyone writes, where someone put a link to a
    // file of the user's.
    const std::filesystem::path shared = directory / "shared";
    std::filesystem::create_directory(shared);
    ::chmod(shared.c_str(), 01777);
    const std::filesystem::path victim = directory / "notes.txt";
    WriteFile(victim, {'m', 'i', 'n', 'e'});
    const std::string planted = (shared / "capture.vtr").string();
    const auto made =
        test::AsOtherUser([&] { return ::symlink(victim.c_str(), planted.c_str()) == 0; });
    if (!made) {
        GTEST_SKIP() << "needs root, to plant a link as another user";
    }
    ASSERT_TRUE(*made);
    Capture();
    EXPECT_EQ(document.OnSaveDocument(planted), "Access to " + planted + " was denied.");
    EXPECT_EQ(ReadFile(victim), (std::vector<std::uint8_t>{'m', 'i', 'n', 'e'}));
    EXPECT_TRUE(std::filesystem::is_symlink(planted));
    EXPECT_TRUE(document.IsModified());
}

TEST_F(DocumentFileTest, SavingKeepsPermissionsAndLinks) {
    Capture();
    ASSERT_EQ(document.OnSaveDocument(path), std::nullopt);
    ::chmod(path.c_str(), 0640);
    const std::filesystem::path link = directory / "link.vtr";
    std::filesystem::create_symlink(path, link);
    Send(0, 20, "GET /more HTTP/1.1\r\n\r\n");
    ASSERT_EQ(document.OnSaveDocument(link.string()), std::nullopt);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    struct stat status {};
    ::stat(path.c_str(), &status);
    EXPECT_EQ(status.st_mode & 0777, 0640u);
    CSnifferDoc reopened;
    ASSERT_EQ(reopened.OnOpenDocument(path), std::nullopt);
    EXPECT_EQ(reopened.messages().size(), document.messages().size());
}

}  // namespace
}  // namespace vantor
