#include "document/CSnifferDoc.h"

#include "app/options/Options.h"

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

void CSnifferDoc::AddRequest(std::unique_ptr<HTTPRequest> request) {
    HTTPRequest* added = request.get();
    m_messages.push_back(std::move(request));
    m_requests.push_back(added);
    m_latestRequest.Set(added->GetSocket(), added);
}

void CSnifferDoc::AddResponse(std::unique_ptr<HTTPResponse> response) {
    HTTPResponse* added = response.get();
    m_messages.push_back(std::move(response));
    m_responses.push_back(added);
    m_latestResponse.Set(added->GetSocket(), added);
}

void CSnifferDoc::PairResponse(HTTPResponse* response) {
    HTTPRequest* request = LatestRequest(response->GetSocket());
    if (request != nullptr && request->response() == nullptr) {
        request->SetResponse(response);
    }
}

void CSnifferDoc::NewRequest(const CaptureRecord& header, std::span<const std::uint8_t> data) {
    const AppPreferences& preferences = Preferences();
    auto owned = std::make_unique<HTTPRequest>(preferences.scan_req_body, preferences.max_req_size,
                                               header.connectionId, header.peerAddress);
    HTTPRequest* request = owned.get();
    AddRequest(std::move(owned));
    request->AddData(data, header.time);
    m_treeDirty = true;
    SetModifiedFlag(true);
    UpdateAllViews(nullptr, HINT_NEW_REQUEST, request);
}

void CSnifferDoc::NewResponse(const CaptureRecord& header, std::span<const std::uint8_t> data) {
    const AppPreferences& preferences = Preferences();
    auto owned = std::make_unique<HTTPResponse>(preferences.scan_res_body, preferences.max_res_size,
                                                header.connectionId, header.peerAddress);
    HTTPResponse* response = owned.get();
    AddResponse(std::move(owned));
    PairResponse(response);
    response->AddData(data, header.time);
    m_treeDirty = true;
    SetModifiedFlag(true);
    UpdateAllViews(nullptr, HINT_NEW_RESPONSE, response);
}

void CSnifferDoc::AppendRequest(const CaptureRecord& header, std::span<const std::uint8_t> data) {
    AppendTo(LatestRequest(header.connectionId), header, data);
}

void CSnifferDoc::AppendResponse(const CaptureRecord& header, std::span<const std::uint8_t> data) {
    AppendTo(LatestResponse(header.connectionId), header, data);
}

void CSnifferDoc::AppendTo(HTTPMessage* message, const CaptureRecord& header,
                           std::span<const std::uint8_t> data) {
    if (message == nullptr) {
        return;  // a continuation of a message we never saw begin
    }
    message->AddData(data, header.time);
    SetModifiedFlag(true);
    if (message->IsCaptionChanged()) {
        m_treeDirty = true;
        UpdateAllViews(nullptr, HINT_CAPTION, message);
    } else {
        UpdateAllViews(nullptr, HINT_DATA, message);
    }
}

void CSnifferDoc::DeleteMessages() {
    m_latestRequest.Clear();
    m_latestResponse.Clear();
    m_requests.clear();
    m_responses.clear();
    while (!m_messages.empty()) {
        m_messages.pop_back();
    }
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
