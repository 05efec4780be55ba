#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "http/HTTPMessage.h"

namespace vantor {

class HTTPResponse;

// The bytes a captured program sends on a socket: method, target (host and URI), and a
// caption made of both, plus the link to the response that answered it.
class HTTPRequest : public HTTPMessage {
public:
    static const CRuntimeClass classHTTPRequest;
    const CRuntimeClass* GetRuntimeClass() const override;

    HTTPRequest();
    // The message's fields, then skipped, state, caption, method and target. Loading leaves
    // the request unpaired.
    void Serialize(CArchive& archive) override;
    HTTPRequest(bool captureBody, std::int32_t maxSizeKB, std::uint32_t socket,
                const SockAddrIn& peerAddress, const std::optional<Ipv6Peer>& ipv6 = std::nullopt);

    // The paired response, not owned; null until the document pairs one.
    HTTPResponse* response() const { return m_response; }
    // Pairs this request with response (and the response with this request). An interim
    // response paired before moves to the interim responses.
    void SetResponse(HTTPResponse* response);
    // The interim responses (100 Continue, 103 Early Hints) that came before the paired one, in
    // order; each still names this request as its own.
    const std::vector<HTTPResponse*>& interimResponses() const;

    // Upper-cased, at most 31 bytes.
    std::string_view method() const;
    // The Host field followed by the URI, or only the URI when it does not begin with "/".
    std::string_view target() const;

    void ParseRequestLine();
    // While the header is incomplete the caption is the first line without its line break;
    // afterwards it stays as the request line made it.
    void BuildCaption() override;
    int GetTreeImage() const override;

protected:
    void ParseStartLine() override { ParseRequestLine(); }

private:
    // What few requests have: interim responses, and a method and target that are not the
    // caption's two parts (as a document file may say).
    struct Extras {
        std::vector<HTTPResponse*> interimResponses;
        std::optional<std::pair<std::string, std::string>> methodAndTarget;
    };
    Extras& MakeExtras();
    void SetMethodAndTarget(std::string method, std::string target);

    HTTPResponse* m_response = nullptr;
    std::unique_ptr<Extras> m_extras;
    // The caption is method, a space and target, split here; 0 with no method yet.
    std::uint32_t m_methodLength = 0;
};

}  // namespace vantor
