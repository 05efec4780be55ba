#include "document/CSnifferDoc.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>

#include "TestSupport.h"

namespace vantor {
namespace {

using test::Bytes;
using test::Header;
using test::RecordingView;
using Update = RecordingView::Update;
using testing::ElementsAre;

class CSnifferDocTest : public testing::Test {
protected:
    CSnifferDocTest() { document.AddView(&view); }

    HTTPRequest* SendNew(std::uint32_t connection, std::string_view data) {
        document.NewRequest(Header(Direction::Sent, Direction::None, connection), Bytes(data));
        return document.requests().back();
    }
    HTTPResponse* ReceiveNew(std::uint32_t connection, std::string_view data) {
        document.NewResponse(Header(Direction::Received, Direction::Sent, connection), Bytes(data));
        return document.responses().back();
    }
    void SendMore(std::uint32_t connection, std::string_view data) {
        document.AppendRequest(Header(Direction::Sent, Direction::Sent, connection), Bytes(data));
    }
    void ReceiveMore(std::uint32_t connection, std::string_view data) {
        document.AppendResponse(Header(Direction::Received, Direction::Received, connection),
                                Bytes(data));
    }

    CSnifferDoc document;
    RecordingView view;
};

TEST_F(CSnifferDocTest, NewMessagesAreListedMarkedAndAnnounced) {
    HTTPRequest* request = SendNew(7, "GET / HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(document.IsModified());
    EXPECT_TRUE(document.treeDirty());
    document.SetTreeDirty(false);
    HTTPResponse* response = ReceiveNew(7, "HTTP/1.1 200 OK\r\n\r\n");
    EXPECT_TRUE(document.treeDirty());

    ASSERT_EQ(document.messages().size(), 2u);
    EXPECT_EQ(document.messages()[0].get(), request);
    EXPECT_EQ(document.messages()[1].get(), response);
    EXPECT_THAT(document.requests(), ElementsAre(request));
    EXPECT_THAT(document.responses(), ElementsAre(response));
    EXPECT_EQ(request->response(), response);
    EXPECT_EQ(response->request(), request);
    EXPECT_EQ(request->text(), "GET / HTTP/1.1\r\n\r\n") << "data given before the hint";
    EXPECT_THAT(view.updates, ElementsAre(Update{HINT_NEW_REQUEST, request},
                                          Update{HINT_NEW_RESPONSE, response}));
}

TEST_F(CSnifferDocTest, AppendedDataAnnounceDataOrCaptionChange) {
    SendNew(7, "GET / HTTP/1.1\r\n");
    HTTPResponse* response = ReceiveNew(7, "HTTP/1.1 200 OK\r\n");
    document.SetTreeDirty(false);
    document.SetModifiedFlag(false);
    view.updates.clear();

    SendMore(7, "\r\n");
    HTTPRequest* request = document.requests().back();
    EXPECT_EQ(request->state(), AssemblyState::ReadingBody);
    EXPECT_TRUE(document.IsModified());
    EXPECT_FALSE(document.treeDirty()) << "a request's caption never counts as changed";

    ReceiveMore(7, "\r\n");
    EXPECT_TRUE(document.treeDirty());
    EXPECT_THAT(view.updates,
                ElementsAre(Update{HINT_DATA, request}, Update{HINT_CAPTION, response}));
}

TEST_F(CSnifferDocTest, ContinuationWithoutAMessageChangesNothing) {
    SendNew(1, "GET / HTTP/1.1\r\n\r\n");
    document.SetModifiedFlag(false);
    document.SetTreeDirty(false);
    view.updates.clear();

    SendMore(2, "x");
    ReceiveMore(1, "x");  // connection 1 has no response yet
    EXPECT_FALSE(document.IsModified());
    EXPECT_FALSE(document.treeDirty());
    EXPECT_TRUE(view.updates.empty());
    EXPECT_EQ(document.messages().size(), 1u);
}

TEST_F(CSnifferDocTest, ResponseIsPairedWithTheLatestRequestOfItsConnectionOnly) {
    HTTPRequest* earlier = SendNew(5, "GET /1 HTTP/1.1\r\n\r\n");
    HTTPRequest* later = SendNew(5, "GET /2 HTTP/1.1\r\n\r\n");
    HTTPResponse* first = ReceiveNew(5, "HTTP/1.1 200 OK\r\n\r\n");
    EXPECT_EQ(earlier->response(), nullptr);
    EXPECT_EQ(later->response(), first);

    // Two sockets sharing an id: the latest request already has its response.
    HTTPResponse* second = ReceiveNew(5, "HTTP/1.1 200 OK\r\n\r\n");
    EXPECT_EQ(later->response(), first);
    EXPECT_EQ(second->request(), nullptr);
    EXPECT_EQ(earlier->response(), nullptr) << "pairing never looks past the latest request";
}

TEST_F(CSnifferDocTest, ResponseWithoutRequestIsKeptUnpairedAndAnnounced) {
    HTTPResponse* orphan = ReceiveNew(9, "HTTP/1.1 200 OK\r\n\r\n");
    EXPECT_EQ(orphan->request(), nullptr);
    EXPECT_THAT(view.updates, ElementsAre(Update{HINT_NEW_RESPONSE, orphan}));
    EXPECT_EQ(document.responses().size(), 1u);
}

TEST_F(CSnifferDocTest, MessagesTakeTheOptionsThatHoldWhenTheyAreCreated) {
    CaptureRules rules;
    rules.requestBodies = false;
    rules.maxRequestKB = 3;
    rules.maxResponseKB = 8000;
    document.SetCaptureRules(rules);
    HTTPRequest* request = SendNew(1, "GET / HTTP/1.1\r\n");
    HTTPResponse* response = ReceiveNew(1, "HTTP/1.1 200 OK\r\n");
    document.SetCaptureRules(CaptureRules::Defaults());
    EXPECT_FALSE(request->captureBody());
    EXPECT_EQ(request->maxSize(), 3u * 1024u);
    EXPECT_TRUE(response->captureBody());
    EXPECT_EQ(response->maxSize(), 8000u * 1024u);
}

TEST_F(CSnifferDocTest, NewDocumentEmptiesEverythingAndAsksForARebuild) {
    SendNew(1, "GET / HTTP/1.1\r\n\r\n");
    ReceiveNew(1, "HTTP/1.1 200 OK\r\n\r\n");
    document.SetPathName("/tmp/old.vtr");
    view.updates.clear();

    EXPECT_TRUE(document.OnNewDocument());
    EXPECT_TRUE(document.messages().empty());
    EXPECT_TRUE(document.requests().empty());
    EXPECT_TRUE(document.responses().empty());
    EXPECT_FALSE(document.IsModified());
    EXPECT_EQ(document.GetPathName(), "");
    EXPECT_THAT(view.updates, ElementsAre(Update{HINT_REBUILD, nullptr}));

    // Nothing of the old document is found again.
    ReceiveMore(1, "x");
    SendMore(1, "x");
    EXPECT_TRUE(document.messages().empty());
    EXPECT_EQ(ReceiveNew(1, "HTTP/1.1 200 OK\r\n\r\n")->request(), nullptr);
}

// The document finds messages through per-connection indexes. This model does what the
// rules describe, backward scans over the lists, and the two must agree on every record.
class BackwardScanModel {
public:
    struct Message {
        bool isRequest;
        std::uint32_t connection;
        std::string text;
        int paired = -1;  // for a request, index of its response
    };

    void NewRequest(std::uint32_t connection, const std::string& data) {
        m_messages.push_back({true, connection, data});
    }
    void NewResponse(std::uint32_t connection, const std::string& data) {
        m_messages.push_back({false, connection, data});
        const int request = Latest(true, connection, static_cast<int>(m_messages.size()) - 1);
        if (request >= 0 && m_messages[static_cast<std::size_t>(request)].paired < 0) {
            m_messages[static_cast<std::size_t>(request)].paired =
                static_cast<int>(m_messages.size()) - 1;
        }
    }
    void Append(bool toRequest, std::uint32_t connection, const std::string& data) {
        const int found = Latest(toRequest, connection, static_cast<int>(m_messages.size()));
        if (found >= 0) {
            m_messages[static_cast<std::size_t>(found)].text += data;
        }
    }
    const std::vector<Message>& messages() const { return m_messages; }

private:
    int Latest(bool isRequest, std::uint32_t connection, int before) const {
        for (int i = before - 1; i >= 0; --i) {
            const Message& m = m_messages[static_cast<std::size_t>(i)];
            if (m.isRequest == isRequest && m.connection == connection) {
                return i;
            }
        }
        return -1;
    }

    std::vector<Message> m_messages;
};

TEST_F(CSnifferDocTest, IndexedLookupsAgreeWithBackwardScans) {
    document.RemoveView(&view);
    BackwardScanModel model;
    std::mt19937 random(7);
    std::uniform_int_distribution<std::uint32_t> connection(1, 12);
    std::uniform_int_distribution<int> operation(0, 3);
    for (int step = 0; step < 5000; ++step) {
        const std::uint32_t id = connection(random);
        // Header-free bytes: every message stays ReadingHeader, so its text is exactly the
        // bytes it was given.
        const std::string data = "s" + std::to_string(step) + ";";
        switch (operation(random)) {
            case 0:
                document.NewRequest(Header(Direction::Sent, Direction::None, id), Bytes(data));
                model.NewRequest(id, data);
                break;
            case 1:
                document.NewResponse(Header(Direction::Received, Direction::Sent, id), Bytes(data));
                model.NewResponse(id, data);
                break;
            case 2:
                SendMore(id, data);
                model.Append(true, id, data);
                break;
            default:
                ReceiveMore(id, data);
                model.Append(false, id, data);
                break;
        }
    }
    const auto& expected = model.messages();
    const auto& actual = document.messages();
    ASSERT_EQ(actual.size(), expected.size());
    std::unordered_map<const HTTPMessage*, int> indexOf;
    for (std::size_t i = 0; i < actual.size(); ++i) {
        indexOf[actual[i].get()] = static_cast<int>(i);
    }
    for (std::size_t i = 0; i < actual.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(actual[i]->kind() == MessageKind::Request, expected[i].isRequest);
        EXPECT_EQ(actual[i]->text(), expected[i].text);
        if (auto* request = dynamic_cast<HTTPRequest*>(actual[i].get())) {
            const int paired = request->response() ? indexOf.at(request->response()) : -1;
            EXPECT_EQ(paired, expected[i].paired);
        }
    }
}

}  // namespace
}  // namespace vantor
