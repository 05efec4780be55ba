#include "capture/RingReader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "capture/ChannelLayout.h"
#include "vtcap_ring.h"

namespace vantor {
namespace {

// A ring object in this process's memory, written with the provider's own ring code or by hand
// as a hostile writer would.
class RingReaderTest : public testing::Test {
protected:
    RingReaderTest() : m_storage(VANTOR_BUFFER_SIZE / sizeof(std::uint64_t)) {
        m_writer = {object(), &m_full, &m_empty, nullptr, nullptr};
    }

    std::uint8_t* object() { return reinterpret_cast<std::uint8_t*>(m_storage.data()); }
    std::uint8_t* ring() { return object() + VANTOR_RING_CONTROL_SIZE; }
    void Set64(std::size_t offset, std::uint64_t value) {
        std::memcpy(object() + offset, &value, sizeof value);
    }
    std::uint64_t Get64(std::size_t offset) {
        std::uint64_t value = 0;
        std::memcpy(&value, object() + offset, sizeof value);
        return value;
    }
    void Slot(std::uint64_t position, std::uint32_t size, std::uint32_t state) {
        std::uint8_t* slot = ring() + position % VANTOR_RING_SIZE;
        std::memcpy(slot, &size, sizeof size);
        std::memcpy(slot + VANTOR_SLOT_STATE_OFFSET, &state, sizeof state);
    }

    // Reserves, fills and (unless told not to) commits a record as the provider does.
    std::uint8_t* Write(std::uint32_t connection, std::string_view data, bool commit = true,
                        std::uint32_t holder = 4242) {
        unsigned char* record = nullptr;
        if (vtcap_ring_reserve(&m_writer, kCaptureHeaderSize + data.size(), holder,
                               vtcap_monotonic_ms(), &record) != VTCAP_RING_RESERVED) {
            return nullptr;
        }
        CaptureRecord header = test::Header(1, 0, connection);
        header.dataLength = static_cast<std::uint32_t>(data.size());
        WriteCaptureRecord(header,
                           std::span<std::uint8_t, kCaptureHeaderSize>(record, kCaptureHeaderSize));
        std::memcpy(record + kCaptureHeaderSize, data.data(), data.size());
        if (commit) {
            vtcap_ring_commit(&m_writer, record);
        }
        return record;
    }

    static std::vector<std::string> Texts(const std::vector<PendingRecord>& batch) {
        std::vector<std::string> texts;
        for (const PendingRecord& record : batch) {
            texts.emplace_back(record.data.begin(), record.data.end());
        }
        return texts;
    }

    std::vector<std::uint64_t> m_storage;
    std::atomic<std::uint32_t> m_full{0};
    std::atomic<std::uint32_t> m_empty{VANTOR_EVENT_SIGNALLED};
    vtcap_ring m_writer{};
};

TEST_F(RingReaderTest, CommittedRecordsComeInPositionOrderAndTheirRoomGoesBackOnRelease) {
    RingReader reader(object());
    ASSERT_NE(Write(1, "one"), nullptr);
    std::uint8_t* slow = Write(2, "two", false);
    ASSERT_NE(slow, nullptr);
    ASSERT_NE(Write(3, "three"), nullptr);
    EXPECT_EQ(m_full.load(), VANTOR_EVENT_SIGNALLED) << "the first commit rang the doorbell";

    std::vector<PendingRecord> batch;
    reader.Collect(batch, 10);
    EXPECT_EQ(Texts(batch), std::vector<std::string>{"one"}) << "stops at the slot being written";
    EXPECT_FALSE(reader.HasWork());
    EXPECT_EQ(Get64(VANTOR_RING_HEAD_OFFSET), 0u) << "nothing given back before Release";
    reader.Release();
    EXPECT_EQ(Get64(VANTOR_RING_HEAD_OFFSET), 8u + 56u);

    vtcap_ring_commit(&m_writer, slow);
    EXPECT_TRUE(reader.HasWork());
    batch.clear();
    reader.Collect(batch, 1);
    EXPECT_EQ(Texts(batch), std::vector<std::string>{"two"}) << "at most as many as asked";
    reader.Collect(batch, 10);
    EXPECT_EQ(Texts(batch), (std::vector<std::string>{"two", "three"}));
    EXPECT_EQ(batch[1].header.connectionId, 3u);
    EXPECT_EQ(batch[1].header.providerData, kCaptureHeaderSize);
    EXPECT_EQ(reader.lost(), 0u);
}

TEST_F(RingReaderTest, AReservationThatWouldWrapIsPaddedAndTheRecordStartsTheRing) {
    const std::uint64_t start = VANTOR_RING_SIZE - 40;
    Set64(VANTOR_RING_HEAD_OFFSET, start);
    Set64(VANTOR_RING_TAIL_OFFSET, start);
    RingReader reader(object());
    ASSERT_NE(Write(1, std::string(100, 'w')), nullptr);
    EXPECT_EQ(Get64(VANTOR_RING_TAIL_OFFSET), VANTOR_RING_SIZE + 8u + 52u + 100u);
    std::vector<PendingRecord> batch;
    reader.Collect(batch, 10);
    ASSERT_EQ(batch.size(), 1u);
    EXPECT_EQ(batch[0].data.data(), ring() + 8 + kCaptureHeaderSize);
    EXPECT_EQ(Texts(batch)[0], std::string(100, 'w'));
}

TEST_F(RingReaderTest, WritersFindNoRoomUntilTheReaderReleasesIt) {
    RingReader reader(object());
    const std::string big(VANTOR_MAX_RECORD_DATA, 'b');
    int written = 0;
    while (Write(1, big) != nullptr) {
        ++written;
    }
    EXPECT_EQ(written, 3) << "three of the largest records fit a ring of 4 MiB";
    std::vector<PendingRecord> batch;
    reader.Collect(batch, 1);
    EXPECT_EQ(Write(1, big), nullptr) << "taken is not given back";
    reader.Release();
    EXPECT_NE(Write(1, big), nullptr);
}

TEST_F(RingReaderTest, BrokenTailsAndSizesSkipToTheTailAndCountALoss) {
    struct Case {
        const char* name;
        std::uint64_t tail;
        std::uint32_t size;
    };
    for (const Case& broken :
         {Case{"a tail a whole ring ahead", VANTOR_RING_SIZE + 64, 64},
          Case{"a tail behind the head", 0, 64}, Case{"a size of nothing", 256, 0},
          Case{"a size short of a slot header", 256, 4},
          Case{"a size not a multiple of 8", 256, 68}, Case{"a size past the tail", 256, 264},
          Case{"a size past the ring's end", 8 * VANTOR_RING_SIZE / 8, 0xFFFFFFF8}}) {
        SCOPED_TRACE(broken.name);
        std::fill(m_storage.begin(), m_storage.end(), 0);
        const std::uint64_t head = 1024;
        Set64(VANTOR_RING_HEAD_OFFSET, head);
        Set64(VANTOR_RING_TAIL_OFFSET, broken.tail == 0 ? head - 8 : head + broken.tail);
        Slot(head, broken.size, VANTOR_SLOT_COMMITTED);
        RingReader reader(object());
        std::vector<PendingRecord> batch;
        reader.Collect(batch, 10);
        EXPECT_TRUE(batch.empty());
        EXPECT_EQ(reader.lost(), 1u);
        reader.Release();
        // Writing goes on from the tail, and the reader with it.
        ASSERT_NE(Write(1, "after"), nullptr);
        reader.Collect(batch, 10);
        EXPECT_EQ(Texts(batch), std::vector<std::string>{"after"});
    }
}

TEST_F(RingReaderTest, PositionsOffTheSlotsAlignmentAreSkippedToAndThenWaitedAt) {
    Set64(VANTOR_RING_HEAD_OFFSET, 1027);
    Set64(VANTOR_RING_TAIL_OFFSET, 1027 + 4099);
    Slot(1024, 64, VANTOR_SLOT_COMMITTED);
    RingReader reader(object());
    std::vector<PendingRecord> batch;
    reader.Collect(batch, 10);
    EXPECT_TRUE(batch.empty());
    EXPECT_EQ(reader.lost(), 1u);
    EXPECT_FALSE(reader.HasWork()) << "nothing to do until the tail moves";
    reader.Collect(batch, 10);
    EXPECT_EQ(reader.lost(), 1u);
}

TEST_F(RingReaderTest, ACommittedSlotTooShortForARecordHeaderIsSkippedAndCounted) {
    Slot(0, 16, VANTOR_SLOT_COMMITTED);
    Set64(VANTOR_RING_TAIL_OFFSET, 16);
    RingReader reader(object());
    ASSERT_NE(Write(1, "next"), nullptr);
    std::vector<PendingRecord> batch;
    reader.Collect(batch, 10);
    EXPECT_EQ(Texts(batch), std::vector<std::string>{"next"});
    EXPECT_EQ(reader.lost(), 1u);
}

TEST_F(RingReaderTest, OnlySlotsAndLocksOfWritersThatEndedAreCleared) {
    RingReader reader(object());
    ASSERT_NE(Write(1, "half", false, 500), nullptr);
    ASSERT_NE(Write(2, "whole"), nullptr);
    const auto endedAre = [](std::uint32_t ended) {
        return [ended](std::uint32_t holder) { return holder == ended; };
    };
    EXPECT_FALSE(reader.ClearAbandoned(endedAre(501)));
    std::vector<PendingRecord> batch;
    reader.Collect(batch, 10);
    EXPECT_TRUE(batch.empty());
    EXPECT_TRUE(reader.ClearAbandoned(endedAre(500)));
    EXPECT_EQ(reader.lost(), 1u);
    reader.Collect(batch, 10);
    EXPECT_EQ(Texts(batch), std::vector<std::string>{"whole"});

    // A writer that cannot be named is never taken for dead.
    ASSERT_NE(Write(3, "unnamed", false, VANTOR_EVENT_UNKNOWN_HOLDER), nullptr);
    EXPECT_FALSE(reader.ClearAbandoned([](std::uint32_t) { return true; }));

    auto lock = std::atomic_ref<std::uint32_t>(
        *reinterpret_cast<std::uint32_t*>(object() + VANTOR_RING_LOCK_OFFSET));
    lock = (700u << VANTOR_EVENT_HOLDER_SHIFT) | 1u;
    EXPECT_FALSE(reader.ClearAbandoned(endedAre(701)));
    EXPECT_NE(lock.load(), 0u);
    EXPECT_TRUE(reader.ClearAbandoned(endedAre(700)));
    EXPECT_EQ(lock.load(), 0u);
}

TEST_F(RingReaderTest, RandomRingsNeverLeadOutsideTheRingOrIntoEndlessWork) {
    std::mt19937_64 random(11);
    for (int round = 0; round < 300; ++round) {
        std::fill(m_storage.begin(), m_storage.end(), 0);
        const std::uint64_t head = random() % (3 * VANTOR_RING_SIZE);
        Set64(VANTOR_RING_HEAD_OFFSET, head);
        Set64(VANTOR_RING_TAIL_OFFSET, head + random() % (VANTOR_RING_SIZE + 4096));
        for (std::uint64_t slot = 0; slot < 200; ++slot) {
            const std::uint64_t at = head + (random() % 64) * 8 + (random() % 2) * slot * 4096;
            const std::uint32_t size = random() % 3 == 0
                                           ? static_cast<std::uint32_t>(random())
                                           : static_cast<std::uint32_t>(8 * (random() % 9000));
            Slot(at, size, static_cast<std::uint32_t>(random()));
        }
        RingReader reader(object());
        std::vector<PendingRecord> batch;
        for (int pass = 0; pass < 4; ++pass) {
            reader.Collect(batch, 100);
            reader.ClearAbandoned([](std::uint32_t) { return true; });
            reader.Release();
        }
        for (const PendingRecord& record : batch) {
            ASSERT_GE(record.data.data(), ring());
            ASSERT_LE(record.data.data() + record.data.size(), ring() + VANTOR_RING_SIZE);
        }
    }
}

}  // namespace
}  // namespace vantor
