#pragma once

#include <cstdint>
#include <map>
#include <string_view>

#include "TestSupport.h"
#include "capture/CaptureDispatch.h"
#include "document/CSnifferDoc.h"

namespace vantor::test {

// Feeds records to a document through dispatch as the provider would write them: each
// connection's previous direction is kept, and a reopened connection starts again.
class RecordFeeder {
public:
    explicit RecordFeeder(CSnifferDoc& document) : m_dispatch([&document] { return &document; }) {}

    void Record(std::uint32_t connection, Direction direction, std::string_view bytes) {
        Direction& previous = m_previous[connection];
        const CaptureRecord header =
            Header(direction, previous, connection, static_cast<std::uint32_t>(bytes.size()));
        previous = direction;
        m_dispatch.Dispatch(header, Bytes(bytes));
    }
    void Sent(std::uint32_t connection, std::string_view bytes) {
        Record(connection, Direction::Sent, bytes);
    }
    void Received(std::uint32_t connection, std::string_view bytes) {
        Record(connection, Direction::Received, bytes);
    }
    std::uint64_t LeftOutBytes() const { return m_dispatch.LeftOutBytes(); }
    // A new socket that happens to get an id used before.
    void Reopened(std::uint32_t connection) { m_previous.erase(connection); }

private:
    CaptureDispatch m_dispatch;
    std::map<std::uint32_t, Direction> m_previous;
};

}  // namespace vantor::test
