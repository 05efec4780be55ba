#include "http/HTTPRequest.h"

#include "framework/AsciiText.h"
#include "http/HTTPResponse.h"
#include "http/ScanFormat.h"

namespace vantor {

namespace {
std::unique_ptr<CObject> CreateRequest() {
    return std::make_unique<HTTPRequest>();
}
}  // namespace

const CRuntimeClass HTTPRequest::classHTTPRequest{"HTTPRequest", 0, &CreateRequest,
                                                  &HTTPMessage::classHTTPMessage};

const CRuntimeClass* HTTPRequest::GetRuntimeClass() const {
    return &classHTTPRequest;
}

HTTPRequest::HTTPRequest() : HTTPMessage(MessageKind::Request) {}

HTTPRequest::HTTPRequest(bool captureBody, std::int32_t maxSizeKB, std::uint32_t socket,
                         const SockAddrIn& peerAddress)
    : HTTPMessage(MessageKind::Request, captureBody, maxSizeKB, socket, peerAddress) {}

void HTTPRequest::SetResponse(HTTPResponse* response) {
    m_response = response;
    if (response != nullptr) {
        response->m_request = this;
    }
}

void HTTPRequest::ParseRequestLine() {
    m_method = ScanMethod(text());
    AsciiUpperInPlace(m_method);
    const std::string uri = ScanRequestUri(text());
    if (!uri.empty() && uri.front() == '/') {
        m_target = headers().Find("host").value_or(std::string_view{});
    }
    m_target += uri;
    m_caption = m_method + " " + m_target;
}

void HTTPRequest::BuildCaption() {
    if (m_state != AssemblyState::ReadingHeader) {
        return;
    }
    const std::string_view line = text();
    const std::size_t lineFeed = line.find('\n');
    if (lineFeed == std::string_view::npos) {
        m_caption = std::string(line);
        return;
    }
    std::size_t end = lineFeed + 1;
    while (end > 0 && IsAsciiSpace(line[end - 1])) {
        --end;
    }
    m_caption = std::string(line.substr(0, end));
}

int HTTPRequest::GetTreeImage() const {
    return m_state == AssemblyState::ReadingHeader ? kImageRequestIncomplete : kImageRequest;
}

}  // namespace vantor
