#pragma once

#include <initializer_list>
#include <memory>
#include <string_view>

#include "TestSupport.h"
#include "http/HTTPRequest.h"
#include "http/HTTPResponse.h"

namespace vantor::test {

inline const SockAddrIn kPeer = test::PeerAt({127, 0, 0, 1}, 8080);

template <typename Message>
std::unique_ptr<Message> Make(bool captureBody = true, std::int32_t maxSizeKB = 256) {
    return std::make_unique<Message>(captureBody, maxSizeKB, 17, kPeer);
}

// Feeds the pieces one AddData each, a millisecond apart.
inline void Feed(HTTPMessage& message, std::initializer_list<std::string_view> pieces) {
    std::uint16_t ms = 0;
    for (std::string_view piece : pieces) {
        message.AddData(Bytes(piece), At(9, 30, 0, ms++));
    }
}

template <typename Message>
std::unique_ptr<Message> Fed(std::initializer_list<std::string_view> pieces,
                             bool captureBody = true, std::int32_t maxSizeKB = 256) {
    auto message = Make<Message>(captureBody, maxSizeKB);
    Feed(*message, pieces);
    return message;
}

}  // namespace vantor::test
