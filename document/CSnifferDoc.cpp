#include "document/CSnifferDoc.h"

#include <algorithm>

#include "framework/ArchiveExceptions.h"
#include "framework/CArchive.h"

namespace vantor {

CSnifferDoc::~CSnifferDoc() {
    DeleteMessages();
}

HTTPRequest* CSnifferDoc::LatestRequest(std::uint32_t connectionId) const {
    return m_latestRequest.Find(connectionId);
}

HTTPResponse* CSnifferDoc::LatestResponse(std::uint32_t connectionId) const {
    return m_latestResponse.Find(connectionId);
}

void CSnifferDoc::IndexRequest(HTTPRequest* request) {
    m_requests.push_back(request);
    m_latestRequest.Set(request->GetSocket(), request);
}

void CSnifferDoc::IndexResponse(HTTPResponse* response) {
    m_responses.push_back(response);
    m_latestResponse.Set(response->GetSocket(), response);
}

void CSnifferDoc::AddRequest(std::unique_ptr<HTTPRequest> request) {
    HTTPRequest* added = request.get();
    if (!m_keepAll) {
        KeepOpen(added->GetSocket(), std::move(request));
        m_latestRequest.Set(added->GetSocket(), added);
        return;
    }
    m_messages.push_back(std::move(request));
    IndexRequest(added);
}

void CSnifferDoc::AddResponse(std::unique_ptr<HTTPResponse> response) {
    HTTPResponse* added = response.get();
    if (!m_keepAll) {
        KeepOpen(added->GetSocket(), std::move(response));
        m_latestResponse.Set(added->GetSocket(), added);
        return;
    }
    m_messages.push_back(std::move(response));
    IndexResponse(added);
}

void CSnifferDoc::KeepOpenExchangesOnly() {
    m_keepAll = false;
}

void CSnifferDoc::KeepOpen(std::uint32_t connectionId, std::unique_ptr<HTTPMessage> message) {
    auto found = m_open.find(connectionId);
    if (found == m_open.end()) {
        if (m_open.size() >= kMostOpenConnections) {
            EndOpen(m_openByUse.front());
        }
        found = m_open.emplace(connectionId, OpenConnection{}).first;
        found->second.use = m_openByUse.insert(m_openByUse.end(), connectionId);
    } else {
        m_openByUse.splice(m_openByUse.end(), m_openByUse, found->second.use);
    }
    found->second.messages.push_back(std::move(message));
}

void CSnifferDoc::Grew(const HTTPMessage& message, std::size_t before) {
    if (m_keepAll) {
        return;
    }
    if (!m_open.contains(message.GetSocket())) {
        return;
    }
    // The sum holds every kept text at its current size, before included.
    m_openBytes = m_openBytes - before + message.text().size();
    while (m_openBytes > kOpenBytesBudget && m_openByUse.front() != message.GetSocket()) {
        EndOpen(m_openByUse.front());
    }
}

void CSnifferDoc::EndConnection(std::uint32_t connectionId) {
    if (!m_keepAll) {
        EndOpen(connectionId);
    }
}

void CSnifferDoc::EndOpen(std::uint32_t connectionId) {
    const auto found = m_open.find(connectionId);
    if (found == m_open.end()) {
        return;
    }
    // Taken out first: a view told of the end must find the document consistent.
    OpenConnection ended = std::move(found->second);
    for (const auto& message : ended.messages) {
        m_openBytes -= message->text().size();
    }
    m_openByUse.erase(ended.use);
    m_open.erase(found);
    m_latestRequest.Erase(connectionId);
    m_latestResponse.Erase(connectionId);
    for (const auto& message : ended.messages) {
        UpdateAllViews(nullptr, HINT_ENDED, message.get());
    }
    for (const auto& message : ended.messages) {
        UpdateAllViews(nullptr, HINT_DROPPED, message.get());
    }
}

void CSnifferDoc::PairResponse(HTTPResponse* response) {
    HTTPRequest* request = LatestRequest(response->GetSocket());
    if (request == nullptr) {
        return;
    }
    // An interim response (100 Continue) did not answer the request: the response after it
    // takes its place, and it stays listed as a message of its own. So does a 101 followed by
    // a response of its own connection (HTTP/2 after Upgrade: h2c answers the request there).
    const HTTPResponse* current = request->response();
    if (current == nullptr ||
        (current != response && (current->IsInterim() || current->statusCode() == 101))) {
        request->SetResponse(response);
    }
}

bool CSnifferDoc::ContinuesAfterInterim(const HTTPRequest& request) const {
    const HTTPResponse* response = request.response();
    return response != nullptr && response->IsInterim() &&
           LatestResponse(request.GetSocket()) == response;
}

std::size_t CSnifferDoc::StillOfRequest(const HTTPRequest& request,
                                        std::span<const std::uint8_t> data) const {
    const BodyFraming& framing = request.framing();
    if (framing.Framed()) {
        return framing.Measure(data);
    }
    // Without framing, what follows an interim response (the body held back until 100
    // Continue) is still the request.
    return ContinuesAfterInterim(request) ? data.size() : 0;
}

void CSnifferDoc::NewRequest(const CaptureRecord& header, std::span<const std::uint8_t> data) {
    // A body the request's framing still expects continues it, whatever the server said
    // meanwhile (an answer may come before the body); what follows its end is a new request.
    if (HTTPRequest* latest = LatestRequest(header.connectionId); latest != nullptr) {
        if (const std::size_t still = StillOfRequest(*latest, data); still != 0) {
            AppendTo(latest, header, data.first(still));
            if (still == data.size()) {
                return;
            }
            data = data.subspan(still);
        }
    }
    // The exchanges before it on its connection have ended.
    EndConnection(header.connectionId);
    auto owned =
        std::make_unique<HTTPRequest>(m_rules.requestBodies, m_rules.maxRequestKB,
                                      header.connectionId, header.peerAddress, header.ipv6);
    HTTPRequest* request = owned.get();
    request->SetProcess(header.process);
    request->SetTlsText(header.tlsText);
    request->SetHttp2Stream(header.http2Stream);
    if (m_countBodiesOnly) {
        request->CountBodyOnly();
    }
    AddRequest(std::move(owned));
    request->AddData(data, header.time, m_rules);
    Grew(*request, 0);
    m_treeDirty = true;
    SetModifiedFlag(true);
    UpdateAllViews(nullptr, HINT_NEW_REQUEST, request);
}

HTTPResponse* CSnifferDoc::CreateResponse(const CaptureRecord& header) {
    auto owned =
        std::make_unique<HTTPResponse>(m_rules.responseBodies, m_rules.maxResponseKB,
                                       header.connectionId, header.peerAddress, header.ipv6);
    HTTPResponse* response = owned.get();
    response->SetProcess(header.process);
    response->SetTlsText(header.tlsText);
    response->SetHttp2Stream(header.http2Stream);
    if (m_countBodiesOnly) {
        response->CountBodyOnly();
    }
    AddResponse(std::move(owned));
    PairResponse(response);
    return response;
}

void CSnifferDoc::NewResponse(const CaptureRecord& header, std::span<const std::uint8_t> data) {
    GrowResponse(CreateResponse(header), true, header, data);
}

void CSnifferDoc::GrowResponse(HTTPResponse* response, bool isNew, const CaptureRecord& header,
                               std::span<const std::uint8_t> data) {
    // An interim response ends with its header: the bytes after it are the next response. A
    // loop, as a record may hold many.
    for (;;) {
        std::span<const std::uint8_t> piece = data;
        if (response->BeginsInterim(data)) {
            if (const auto end = response->HeaderEndIn(data)) {
                piece = data.first(*end);
            }
        }
        if (isNew) {
            response->AddData(piece, header.time, m_rules);
            Grew(*response, 0);
            m_treeDirty = true;
            SetModifiedFlag(true);
            UpdateAllViews(nullptr, HINT_NEW_RESPONSE, response);
        } else {
            AppendTo(response, header, piece);
        }
        if (piece.size() == data.size()) {
            return;
        }
        data = data.subspan(piece.size());
        response = CreateResponse(header);
        isNew = true;
    }
}

void CSnifferDoc::AppendRequest(const CaptureRecord& header, std::span<const std::uint8_t> data) {
    HTTPRequest* latest = LatestRequest(header.connectionId);
    // More bytes of a request whose body's framing is known: they continue it up to the body's
    // end, and what follows is the next request (pipelined, or sent after an early answer).
    if (latest != nullptr && latest->framing().Framed() && !data.empty() &&
        latest->framing().Measure(data) < data.size()) {
        NewRequest(header, data);
        return;
    }
    AppendTo(latest, header, data);
}

void CSnifferDoc::AppendResponse(const CaptureRecord& header, std::span<const std::uint8_t> data) {
    HTTPResponse* response = LatestResponse(header.connectionId);
    if (response == nullptr) {
        return;  // a continuation of a message we never saw begin
    }
    if (response->IsInterim()) {
        NewResponse(header, data);
        return;
    }
    GrowResponse(response, false, header, data);
}

void CSnifferDoc::CountSkipped(std::uint32_t connectionId, std::uint64_t count) {
    HTTPResponse* response = LatestResponse(connectionId);
    if (response == nullptr || count == 0) {
        return;
    }
    response->SkipBytes(count);
    SetModifiedFlag(true);
    UpdateAllViews(nullptr, HINT_DATA, response);
}

void CSnifferDoc::NoteMissingBytes(std::uint32_t connectionId, Direction side,
                                   std::optional<std::uint64_t> count) {
    HTTPMessage* message = side == Direction::Sent
                               ? static_cast<HTTPMessage*>(LatestRequest(connectionId))
                               : LatestResponse(connectionId);
    if (message == nullptr || (count && *count == 0)) {
        return;
    }
    message->AddMissing(count);
    SetModifiedFlag(true);
    UpdateAllViews(nullptr, HINT_DATA, message);
}

void CSnifferDoc::AppendTo(HTTPMessage* message, const CaptureRecord& header,
                           std::span<const std::uint8_t> data) {
    if (message == nullptr) {
        return;  // a continuation of a message we never saw begin
    }
    const std::size_t before = message->text().size();
    message->AddData(data, header.time, m_rules);
    Grew(*message, before);
    SetModifiedFlag(true);
    if (message->IsCaptionChanged()) {
        m_treeDirty = true;
        UpdateAllViews(nullptr, HINT_CAPTION, message);
    } else {
        UpdateAllViews(nullptr, HINT_DATA, message);
    }
}

void CSnifferDoc::DeleteMessages() {
    ++m_contentsGeneration;
    m_open.clear();
    m_openByUse.clear();
    m_openBytes = 0;
    m_latestRequest.Clear();
    m_latestResponse.Clear();
    m_requests.clear();
    m_responses.clear();
    while (!m_messages.empty()) {
        m_messages.pop_back();
    }
}

void CSnifferDoc::TakeContentsFrom(CSnifferDoc& other) {
    DeleteMessages();  // a new generation
    std::swap(m_messages, other.m_messages);
    std::swap(m_requests, other.m_requests);
    std::swap(m_responses, other.m_responses);
    std::swap(m_latestRequest, other.m_latestRequest);
    std::swap(m_latestResponse, other.m_latestResponse);
    m_treeDirty = true;
}

void CSnifferDoc::DeleteContents() {
    DeleteMessages();
}

void CSnifferDoc::Serialize(CArchive& archive) {
    if (archive.IsStoring()) {
        if (m_messages.size() > UINT32_MAX) {
            throw CArchiveException(CArchiveException::Cause::BadIndex, "too many messages");
        }
        // A document with IPv6 peers, texts that had NUL bytes or known processes is written in
        // a newer schema, which readers of the older ones refuse; every other document stays
        // byte for byte as it was.
        std::uint16_t schema = 0;
        for (const auto& message : m_messages) {
            schema = std::max(schema, message->SchemaNeeded());
            if (schema == HTTPMessage::kSchemaWithProcesses) {
                break;
            }
        }
        if (schema != 0) {
            archive.SetStoreSchema(HTTPRequest::classHTTPRequest, schema);
            archive.SetStoreSchema(HTTPResponse::classHTTPResponse, schema);
        }
        archive.WriteCount(static_cast<std::uint32_t>(m_messages.size()));
        for (const auto& message : m_messages) {
            archive.WriteObject(*message);
        }
        return;
    }
    DeleteMessages();
    // The count is not trusted for a reservation: a file that claims more entries than it
    // holds runs out of bytes, one entry at a time.
    const std::uint32_t count = archive.ReadCount();
    for (std::uint32_t i = 0; i < count; ++i) {
        std::unique_ptr<CObject> object = archive.ReadObject(HTTPMessage::classHTTPMessage);
        m_messages.emplace_back(static_cast<HTTPMessage*>(object.release()));
        m_messages.back()->SetLimits(m_rules);
    }
    for (const auto& message : m_messages) {
        if (message->kind() == MessageKind::Request) {
            IndexRequest(static_cast<HTTPRequest*>(message.get()));
        } else {
            auto* response = static_cast<HTTPResponse*>(message.get());
            IndexResponse(response);
            PairResponse(response);
        }
    }
    m_treeDirty = true;
    SetModifiedFlag(false);
}

bool CSnifferDoc::OnNewDocument() {
    if (!CDocument::OnNewDocument()) {
        return false;
    }
    DeleteMessages();
    SetModifiedFlag(false);
    UpdateAllViews(nullptr, HINT_REBUILD, nullptr);
    return true;
}

}  // namespace vantor
