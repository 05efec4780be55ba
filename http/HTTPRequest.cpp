#include "http/HTTPRequest.h"

#include "framework/AsciiText.h"
#include "framework/CArchive.h"
#include "http/HTTPResponse.h"
#include "http/ScanFormat.h"
#include "options/FilterOptions.h"

namespace vantor {

namespace {
std::unique_ptr<CObject> CreateRequest() {
    return std::make_unique<HTTPRequest>();
}
}  // namespace

const CRuntimeClass HTTPRequest::classHTTPRequest{
    "HTTPRequest", 0, &CreateRequest, &HTTPMessage::classHTTPMessage, HTTPMessage::kSchemaWithNulBytes};

const CRuntimeClass* HTTPRequest::GetRuntimeClass() const {
    return &classHTTPRequest;
}

namespace {
const bool kRegistered = (CRuntimeClass::Register(HTTPRequest::classHTTPRequest), true);
}  // namespace

void HTTPRequest::Serialize(CArchive& archive) {
    HTTPMessage::Serialize(archive);
    SerializeSkipped(archive);
    SerializeState(archive);
    SerializeCaption(archive);
    if (archive.IsStoring()) {
        archive.WriteString(m_method);
        archive.WriteString(m_target);
    } else {
        m_method = archive.ReadString();
        m_target = archive.ReadString();
        m_response = nullptr;
        m_interimResponses.clear();
    }
}

HTTPRequest::HTTPRequest() : HTTPMessage(MessageKind::Request) {}

HTTPRequest::HTTPRequest(bool captureBody, std::int32_t maxSizeKB, std::uint32_t socket,
                         const SockAddrIn& peerAddress, const std::optional<Ipv6Peer>& ipv6)
    : HTTPMessage(MessageKind::Request, captureBody, maxSizeKB, socket, peerAddress, ipv6) {}

void HTTPRequest::SetResponse(HTTPResponse* response) {
    if (m_response != nullptr && m_response != response) {
        m_interimResponses.push_back(m_response);
    }
    m_response = response;
    if (response != nullptr) {
        response->m_request = this;
    }
}

bool HTTPRequest::PassesFilter(const FilterOptions& filter) {
    if (!filter.m_bEnabled) {
        return true;
    }
    if (m_response == nullptr) {
        return filter.CheckHost(m_target);
    }
    if (filter.CheckHost(m_target)) {
        m_response->SetFilteredOut(false);
        if (m_response->PassesFilter(filter)) {
            return true;
        }
    }
    m_response->SetFilteredOut(true);
    return false;
}

void HTTPRequest::ParseRequestLine() {
    m_method = ScanMethod(text());
    AsciiUpperInPlace(m_method);
    const std::string uri = ScanRequestUri(text());
    if (!uri.empty() && uri.front() == '/') {
        m_target = headers().Find("host").value_or(std::string_view{});
    }
    m_target += uri;
    SetCaption(m_method + " " + m_target);
}

void HTTPRequest::BuildCaption() {
    if (m_state != AssemblyState::ReadingHeader) {
        return;
    }
    const std::string_view line = text();
    const std::size_t lineFeed = line.find('\n');
    if (lineFeed == std::string_view::npos) {
        SetCaption(line);
        return;
    }
    std::size_t end = lineFeed + 1;
    while (end > 0 && IsAsciiSpace(line[end - 1])) {
        --end;
    }
    SetCaption(line.substr(0, end));
}

int HTTPRequest::GetTreeImage() const {
    return m_state == AssemblyState::ReadingHeader ? kImageRequestIncomplete : kImageRequest;
}

}  // namespace vantor
