// Capture rings as a hostile writer could leave them: whatever the tail, the head, the slots'
// sizes and states, the reader never reads outside the ring object, ends every pass, and hands
// dispatch only data that lie inside the ring, also once the writer has ended.
//
// Input: the head and the tail (8 bytes each, little-endian), then patches, each a position
// (4 bytes), a length (2 bytes) and that many bytes, written into the ring at the position.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "capture/ChannelLayout.h"
#include "capture/RingReader.h"

namespace {

std::uint64_t Little(const std::uint8_t* bytes, std::size_t count) {
    std::uint64_t value = 0;
    for (std::size_t i = count; i-- > 0;) {
        value = value << 8 | bytes[i];
    }
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::vector<std::uint64_t> storage(VANTOR_RING_OBJECT_SIZE / sizeof(std::uint64_t));
    auto* object = reinterpret_cast<std::uint8_t*>(storage.data());
    std::memset(object, 0, VANTOR_RING_OBJECT_SIZE);
    if (size < 16) {
        return 0;
    }
    const std::uint64_t head = Little(data, 8);
    const std::uint64_t tail = Little(data + 8, 8);
    std::memcpy(object + VANTOR_RING_HEAD_OFFSET, &head, sizeof head);
    std::memcpy(object + VANTOR_RING_TAIL_OFFSET, &tail, sizeof tail);
    std::uint8_t* ring = object + VANTOR_RING_CONTROL_SIZE;
    for (std::size_t at = 16; at + 6 <= size;) {
        const std::uint64_t position = Little(data + at, 4) % VANTOR_RING_SIZE;
        std::size_t length = Little(data + at + 4, 2);
        at += 6;
        length = std::min({length, size - at, VANTOR_RING_SIZE - position});
        std::memcpy(ring + position, data + at, length);
        at += length;
    }

    vantor::RingReader reader(object);
    std::vector<vantor::PendingRecord> batch;
    for (int pass = 0; pass < 8; ++pass) {
        batch.clear();
        reader.Collect(batch, 64);
        for (const vantor::PendingRecord& record : batch) {
            if (record.data.data() < ring ||
                record.data.data() + record.data.size() > ring + VANTOR_RING_SIZE) {
                std::abort();
            }
            volatile std::uint8_t sum = 0;
            for (const std::uint8_t byte : record.data) {
                sum = static_cast<std::uint8_t>(sum + byte);
            }
        }
        reader.HasWork();
        if (pass % 2 == 1) {
            reader.SkipAbandoned();  // as once the writer has ended
        }
        reader.Drained();
        reader.Release();
    }
    return 0;
}
