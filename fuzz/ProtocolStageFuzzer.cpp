// Records of up to four connections, in any order and cut anywhere, through dispatch and the
// protocol stage into the document: HTTP/2 frames and HPACK blocks, WebSocket frames, switches
// of protocol and HTTP/1.x, however malformed. Nothing reads out of bounds, crashes or grows
// without bound; the document lists, and saves, loads and saves again to the same bytes.
//
// Input: one byte whose highest bit makes the document keep only open exchanges (as
// vantor-dump does without a file to save), then records back to back, each one control byte (bits
// 0-1 the connection, bit 2 sent by the client, bit 3 the first record of a new socket), a 16-bit
// little-endian length, the data.
#include <algorithm>
#include <array>
#include <cstdint>

#include "fuzz/CaptureFuzzing.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vantor::fuzzing::Capture capture;
    if (size > 0 && (data[0] & 0x80u) != 0) {
        capture.document.KeepOpenExchangesOnly();
    }
    std::array<vantor::Direction, 4> previous{};
    std::size_t at = 1;
    while (at + 3 <= size) {
        const std::uint8_t control = data[at];
        const std::size_t length =
            std::min<std::size_t>(data[at + 1] | (std::size_t{data[at + 2]} << 8), size - at - 3);
        const std::size_t connection = control & 3u;
        if ((control & 8u) != 0) {
            previous[connection] = vantor::Direction::None;
        }
        vantor::CaptureRecord header;
        header.direction =
            (control & 4u) != 0 ? vantor::Direction::Sent : vantor::Direction::Received;
        header.previousDirection = previous[connection];
        header.connectionId = static_cast<std::uint32_t>(connection + 1);
        header.peerAddress.family = 2;
        header.peerAddress.port = {0x1F, 0x90};
        header.peerAddress.address = {127, 0, 0, 1};
        header.dataLength = static_cast<std::uint32_t>(length);
        header.time = {2026, 12, 2, 8, 9, 30, 0, 5};
        previous[connection] = header.direction;
        capture.dispatch.Dispatch(header, {data + at + 3, length});
        at += 3 + length;
    }

    capture.Check();
    return 0;
}
