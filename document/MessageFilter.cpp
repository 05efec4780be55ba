#include "document/MessageFilter.h"

#include "http/HTTPRequest.h"
#include "http/HTTPResponse.h"

namespace vantor {

bool MessageFilter::Passes(const FilterOptions& options, const HTTPMessage& message) {
    switch (message.kind()) {
        case MessageKind::Request:
            return Passes(options, static_cast<const HTTPRequest&>(message));
        case MessageKind::Response:
            return Passes(options, static_cast<const HTTPResponse&>(message));
    }
    return true;
}

bool MessageFilter::Passes(const FilterOptions& options, const HTTPRequest& request) {
    if (!options.m_bEnabled) {
        return true;
    }
    const HTTPResponse* response = request.response();
    if (response == nullptr) {
        return options.CheckHost(request.target());
    }
    if (options.CheckHost(request.target())) {
        m_hiddenWithRequest.erase(response);
        if (Passes(options, *response)) {
            return true;
        }
    }
    m_hiddenWithRequest.insert(response);
    return false;
}

bool MessageFilter::Passes(const FilterOptions& options, const HTTPResponse& response) {
    if (!options.m_bEnabled) {
        return true;
    }
    if (m_hiddenWithRequest.erase(&response) != 0) {
        return false;
    }
    if (response.state() == AssemblyState::New ||
        response.state() == AssemblyState::ReadingHeader) {
        return true;
    }
    return options.CheckContentClass(static_cast<std::int32_t>(response.contentClass())) &&
           options.CheckResponseCode(response.statusCode());
}

}  // namespace vantor
