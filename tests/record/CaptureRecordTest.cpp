#include "record/CaptureRecord.h"

#include <gtest/gtest.h>

#include <array>
#include <random>

namespace vantor {
namespace {

using HeaderBytes = std::array<std::uint8_t, kCaptureHeaderSize>;

TEST(CaptureRecordTest, FieldsSitAtTheirOffsetsInLittleEndian) {
    HeaderBytes bytes{};
    auto put32 = [&](std::size_t offset, std::uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            bytes[offset + static_cast<std::size_t>(i)] =
                static_cast<std::uint8_t>(value >> (8 * i));
        }
    };
    put32(0, 1);
    put32(4, 2);
    put32(8, 0xA1B2C3D4);
    bytes[12] = 2;                       // family, little-endian
    bytes[14] = 0x1F, bytes[15] = 0x90;  // port 8080, network order
    bytes[16] = 10, bytes[17] = 0, bytes[18] = 0, bytes[19] = 7;
    bytes[27] = 0xEE;  // a "zero" byte that is not zero is kept
    put32(28, 1'048'524);
    put32(32, 0xDEADBEEF);
    const std::uint16_t time[8] = {2026, 12, 2, 8, 23, 59, 58, 999};
    for (std::size_t i = 0; i < 8; ++i) {
        bytes[36 + 2 * i] = static_cast<std::uint8_t>(time[i]);
        bytes[37 + 2 * i] = static_cast<std::uint8_t>(time[i] >> 8);
    }

    const CaptureRecord record = ReadCaptureRecord(bytes);
    EXPECT_EQ(record.direction, Direction::Sent);
    EXPECT_EQ(record.previousDirection, Direction::Received);
    EXPECT_EQ(record.connectionId, 0xA1B2C3D4u);
    EXPECT_EQ(record.peerAddress.family, kAddressFamilyInet);
    EXPECT_EQ(record.peerAddress.HostPort(), 8080);
    EXPECT_EQ(record.peerAddress.address, (std::array<std::uint8_t, 4>{10, 0, 0, 7}));
    EXPECT_EQ(record.peerAddress.zero[7], 0xEE);
    EXPECT_EQ(record.dataLength, kMaxRecordDataLength);
    EXPECT_EQ(record.providerData, 0xDEADBEEFu);
    EXPECT_EQ(record.time, (SystemTime{2026, 12, 2, 8, 23, 59, 58, 999}));

    HeaderBytes written{};
    WriteCaptureRecord(record, written);
    EXPECT_EQ(written, bytes);
}

TEST(CaptureRecordTest, AnyBytesReadAndWriteBackUnchanged) {
    std::mt19937 random(52);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 200; ++round) {
        HeaderBytes bytes{};
        for (auto& b : bytes) {
            b = static_cast<std::uint8_t>(byte(random));
        }
        HeaderBytes written{};
        WriteCaptureRecord(ReadCaptureRecord(bytes), written);
        ASSERT_EQ(written, bytes);
    }
}

TEST(CaptureRecordTest, LargestDataFillsTheBuffer) {
    EXPECT_EQ(kCaptureHeaderSize + kMaxRecordDataLength, kCaptureBufferSize);
    EXPECT_EQ(kMaxRecordDataLength, 1'048'524u);
}

}  // namespace
}  // namespace vantor
