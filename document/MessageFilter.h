#pragma once

#include <unordered_set>

#include "options/FilterOptions.h"

namespace vantor {

class HTTPMessage;
class HTTPRequest;
class HTTPResponse;

// The message tree's filter: the options' tests applied to messages, and the verdicts it
// carries from a request to its response, kept here rather than on the messages. A request is
// tested by its target's host and, once it has a response, by that response's own test; a pair
// that fails hides the response with the request: the response's next test fails once.
class MessageFilter {
public:
    // Whether the tree shows the message under options (a bare message always passes).
    bool Passes(const FilterOptions& options, const HTTPMessage& message);
    bool Passes(const FilterOptions& options, const HTTPRequest& request);
    // False once after its request failed; true while its header is incomplete; otherwise the
    // content-class and status-code tests.
    bool Passes(const FilterOptions& options, const HTTPResponse& response);

    // Whether the response's next test fails because its request failed.
    bool HiddenWithItsRequest(const HTTPResponse& response) const {
        return m_hiddenWithRequest.contains(&response);
    }
    // Forgets every carried verdict (a rebuild tests each request before its response).
    void ForgetVerdicts() { m_hiddenWithRequest.clear(); }

private:
    std::unordered_set<const HTTPResponse*> m_hiddenWithRequest;
};

}  // namespace vantor
