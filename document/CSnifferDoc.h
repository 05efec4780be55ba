#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "document/ConnectionIndex.h"
#include "document/MessageSink.h"
#include "document/UpdateHint.h"
#include "framework/CDocument.h"
#include "http/HTTPRequest.h"
#include "http/HTTPResponse.h"
#include "options/CaptureRules.h"
#include "record/CaptureRecord.h"

namespace vantor {

// The one document: it owns every captured message, grows requests and responses from the
// capture records that dispatch hands it, pairs each response with the latest request of its
// connection, and tells its views what changed.
class CSnifferDoc : public CDocument, public MessageSink {
public:
    CSnifferDoc() = default;
    ~CSnifferDoc() override;

    // Capture entry points, called by the protocol stage under the capture lock. data is the
    // record's data, valid only during the call; its size is what is appended.
    void NewRequest(const CaptureRecord& header, std::span<const std::uint8_t> data) override;
    void AppendRequest(const CaptureRecord& header, std::span<const std::uint8_t> data) override;
    void NewResponse(const CaptureRecord& header, std::span<const std::uint8_t> data) override;
    void AppendResponse(const CaptureRecord& header, std::span<const std::uint8_t> data) override;
    // Counts bytes of a connection that are not shown, on its latest response.
    void CountSkipped(std::uint32_t connectionId, std::uint64_t count) override;
    // The missing bytes are told on the latest request or response of the connection.
    void NoteMissingBytes(std::uint32_t connectionId, Direction side,
                          std::optional<std::uint64_t> count) override;

    // From now on keep only the exchanges still open, for a capture that lists and forgets
    // (vantor-dump without a file to save). The messages of a connection end when its next
    // request begins, when EndConnection is called, or when more than kMostOpenConnections
    // connections are open or their texts take more than kOpenBytesBudget bytes (the ones
    // unused longest end, as the end of a connection is not reported); their views are told
    // (HINT_ENDED, then HINT_DROPPED) and the messages are dropped. messages(), requests() and
    // responses() then stay empty: views learn of every message through the hints.
    void KeepOpenExchangesOnly();
    // What capture keeps of the messages it grows from now on (and of loaded ones that grow).
    void SetCaptureRules(CaptureRules rules) { m_rules = std::move(rules); }
    const CaptureRules& captureRules() const { return m_rules; }
    // From now on messages count the bytes of their bodies instead of holding them
    // (HTTPMessage::CountBodyOnly), for a capture whose bodies nobody reads or saves.
    void CountBodiesOnly() { m_countBodiesOnly = true; }
    // The connection will carry nothing more (an HTTP/2 stream that ended).
    void EndConnection(std::uint32_t connectionId) override;
    static constexpr std::size_t kMostOpenConnections = 4096;
    static constexpr std::size_t kOpenBytesBudget = 32 << 20;

    bool OnNewDocument() override;
    void DeleteContents() override;

    // Stores the messages, or replaces them with the stored ones, re-pairing each response
    // with the latest earlier request of its connection exactly as capture did.
    void Serialize(CArchive& archive) override;

    // Replaces this document's messages with other's, leaving other empty: a file is read into
    // a scratch document first, so that a file that cannot be read costs nothing.
    void TakeContentsFrom(CSnifferDoc& other);

    // All messages in creation order, and the requests and responses among them.
    const std::vector<std::unique_ptr<HTTPMessage>>& messages() const { return m_messages; }
    const std::vector<HTTPRequest*>& requests() const { return m_requests; }
    const std::vector<HTTPResponse*>& responses() const { return m_responses; }

    // The most recently created request or response of a connection, or null: what a backward
    // scan of the request or response list would find first.
    HTTPRequest* LatestRequest(std::uint32_t connectionId) const;
    HTTPResponse* LatestResponse(std::uint32_t connectionId) const;

    // Changes whenever the messages are replaced or deleted (a new, opened or imported
    // document): a view holding messages of the last one must forget them.
    std::uint64_t contentsGeneration() const { return m_contentsGeneration; }

    // A change from capture or loading waits to be applied to the message tree.
    bool treeDirty() const { return m_treeDirty; }
    void SetTreeDirty(bool dirty) { m_treeDirty = dirty; }

private:
    void DeleteMessages();
    void AddRequest(std::unique_ptr<HTTPRequest> request);
    void AddResponse(std::unique_ptr<HTTPResponse> response);
    // Lists, indexes and pairs a message that is already in m_messages.
    void IndexRequest(HTTPRequest* request);
    void IndexResponse(HTTPResponse* response);
    // Pairs a new response with the latest request of its connection if that one has none,
    // or has only an interim response so far.
    void PairResponse(HTTPResponse* response);
    // Whether what the client sends next continues request: its response so far is an interim
    // one, the latest of the connection.
    bool ContinuesAfterInterim(const HTTPRequest& request) const;
    // How many bytes of data the client sends still belong to request: the rest of a body its
    // framing expects, or, without framing, all after an interim response; 0 otherwise.
    std::size_t StillOfRequest(const HTTPRequest& request,
                               std::span<const std::uint8_t> data) const;
    // A new response of the record's connection, listed and paired.
    HTTPResponse* CreateResponse(const CaptureRecord& header);
    // Gives the record's data to response (new, or one that continues), starting new responses
    // where an interim one ends.
    void GrowResponse(HTTPResponse* response, bool isNew, const CaptureRecord& header,
                      std::span<const std::uint8_t> data);
    void AppendTo(HTTPMessage* message, const CaptureRecord& header,
                  std::span<const std::uint8_t> data);

    // Keeping only open exchanges: the messages of a connection, and their end.
    struct OpenConnection {
        std::vector<std::unique_ptr<HTTPMessage>> messages;
        std::list<std::uint32_t>::iterator use;
    };
    void KeepOpen(std::uint32_t connectionId, std::unique_ptr<HTTPMessage> message);
    // A kept message's text grew from before bytes: past the budget, the connections unused
    // longest end.
    void Grew(const HTTPMessage& message, std::size_t before);
    void EndOpen(std::uint32_t connectionId);

    std::vector<std::unique_ptr<HTTPMessage>> m_messages;
    std::vector<HTTPRequest*> m_requests;
    std::vector<HTTPResponse*> m_responses;
    // Connection id to its latest request and response, so that continuing a message and
    // pairing a response take constant time however large the document grows.
    ConnectionIndex<HTTPRequest> m_latestRequest;
    ConnectionIndex<HTTPResponse> m_latestResponse;
    bool m_treeDirty = false;
    std::uint64_t m_contentsGeneration = 0;
    CaptureRules m_rules = CaptureRules::Defaults();
    bool m_keepAll = true;
    bool m_countBodiesOnly = false;
    std::unordered_map<std::uint32_t, OpenConnection> m_open;
    std::list<std::uint32_t> m_openByUse;  // least recently used first
    std::size_t m_openBytes = 0;           // the kept messages' texts
};

}  // namespace vantor
