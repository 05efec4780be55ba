#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "options/Options.h"
#include "record/CaptureRecord.h"
#include "framework/CView.h"
#include "http/HeaderMap.h"
#include "platform/SockAddrIn.h"

namespace vantor::test {

// Puts the process-wide options back to their start-up state (defaults, derived lists built)
// when constructed and again when destroyed, so that no test sees another's settings.
class ScopedDefaultOptions {
public:
    ScopedDefaultOptions() { Reset(); }
    ~ScopedDefaultOptions() { Reset(); }
    ScopedDefaultOptions(const ScopedDefaultOptions&) = delete;
    ScopedDefaultOptions& operator=(const ScopedDefaultOptions&) = delete;

    static void Reset() {
        GlobalOptions() = Options{};
        Preferences().ParseContentTypes();
        Filter().SplitHostWords();
    }
};

// A header's fields by name, each with its latest value.
inline std::map<std::string, std::string> FieldsOf(const HeaderLookup& headers) {
    std::map<std::string, std::string> fields;
    headers.ForEach(
        [&](std::string_view name, std::string_view value) { fields[std::string(name)] = value; });
    return fields;
}

// A peer address from its host-order parts.
inline SockAddrIn PeerAt(std::array<std::uint8_t, 4> address, std::uint16_t port) {
    SockAddrIn peer;
    peer.address = address;
    peer.port = {static_cast<std::uint8_t>(port >> 8), static_cast<std::uint8_t>(port)};
    return peer;
}

inline std::span<const std::uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

inline SystemTime At(std::uint16_t hour, std::uint16_t minute, std::uint16_t second,
                     std::uint16_t milliseconds) {
    return SystemTime{2026, 12, 2, 8, hour, minute, second, milliseconds};
}

inline CaptureRecord Header(Direction direction, Direction previousDirection,
                            std::uint32_t connectionId, std::uint32_t dataLength = 0,
                            SystemTime time = At(9, 0, 0, 0)) {
    CaptureRecord record;
    record.direction = direction;
    record.previousDirection = previousDirection;
    record.connectionId = connectionId;
    record.peerAddress = PeerAt({127, 0, 0, 1}, 8080);
    record.dataLength = dataLength;
    record.time = time;
    return record;
}

// The same with the directions as the record format numbers them (any value a record may hold).
inline CaptureRecord Header(std::uint32_t direction, std::uint32_t previousDirection,
                            std::uint32_t connectionId, std::uint32_t dataLength = 0,
                            SystemTime time = At(9, 0, 0, 0)) {
    return Header(static_cast<Direction>(direction), static_cast<Direction>(previousDirection),
                  connectionId, dataLength, time);
}

// Names parameterized cases by their `name` member.
struct CaseName {
    template <typename Param>
    std::string operator()(const Param& info) const {
        return info.param.name;
    }
};

// A view that writes down every hint it is given.
class RecordingView : public CView {
public:
    struct Update {
        std::intptr_t hint;
        CObject* object;
        friend bool operator==(const Update&, const Update&) = default;
    };

    void OnUpdate(CView* /*sender*/, std::intptr_t hint, CObject* object) override {
        updates.push_back({hint, object});
    }

    std::vector<Update> updates;
};

}  // namespace vantor::test
