#include "capture/RecordStreamReader.h"

#include <gtest/gtest.h>

#include <sstream>

#include "TestSupport.h"

namespace vantor {
namespace {

using Status = RecordStreamReader::Status;
using test::Bytes;
using test::Header;

std::string Stream(std::initializer_list<std::string_view> datas) {
    std::ostringstream out;
    std::uint32_t connection = 1;
    for (std::string_view data : datas) {
        WriteRecord(out, Header(1, 0, connection++, static_cast<std::uint32_t>(data.size())),
                    Bytes(data));
    }
    return out.str();
}

TEST(RecordStreamReaderTest, ReadsRecordsBackToBack) {
    std::istringstream in(Stream({"first", "", "third"}));
    RecordStreamReader reader(in);
    ASSERT_EQ(reader.Next(), Status::Record);
    EXPECT_EQ(reader.header().connectionId, 1u);
    EXPECT_EQ(std::string(reader.data().begin(), reader.data().end()), "first");
    ASSERT_EQ(reader.Next(), Status::Record);
    EXPECT_EQ(reader.data().size(), 0u);
    EXPECT_EQ(reader.recordOffset(), 57u);
    ASSERT_EQ(reader.Next(), Status::Record);
    EXPECT_EQ(reader.header().connectionId, 3u);
    EXPECT_EQ(reader.recordOffset(), 109u);
    EXPECT_EQ(reader.Next(), Status::End);
    EXPECT_EQ(reader.Next(), Status::End);
    EXPECT_EQ(reader.error(), "");
}

TEST(RecordStreamReaderTest, EmptyStreamEndsAtOnce) {
    std::istringstream in("");
    RecordStreamReader reader(in);
    EXPECT_EQ(reader.Next(), Status::End);
}

TEST(RecordStreamReaderTest, TruncatedHeaderOrDataIsReportedWithItsOffset) {
    const std::string whole = Stream({"abc", "defgh"});
    {
        std::istringstream in(whole.substr(0, 55 + 20));
        RecordStreamReader reader(in);
        ASSERT_EQ(reader.Next(), Status::Record);
        EXPECT_EQ(reader.Next(), Status::Truncated);
        EXPECT_EQ(reader.error(), "truncated record at byte offset 55: header has 20 of 52 bytes");
        EXPECT_EQ(reader.Next(), Status::Truncated) << "a failed stream stays failed";
    }
    {
        std::istringstream in(whole.substr(0, whole.size() - 2));
        RecordStreamReader reader(in);
        ASSERT_EQ(reader.Next(), Status::Record);
        EXPECT_EQ(reader.Next(), Status::Truncated);
        EXPECT_EQ(reader.recordOffset(), 55u);
        EXPECT_EQ(reader.error(), "truncated record at byte offset 55: data has 3 of 5 bytes");
    }
}

TEST(RecordStreamReaderTest, DataLengthAboveTheBufferIsRejectedBeforeAllocating) {
    std::ostringstream out;
    WriteRecord(out, Header(1, 0, 1, 2), Bytes("ok"));
    WriteRecord(out, Header(1, 1, 1, kMaxRecordDataLength + 1), {});
    std::istringstream in(out.str());
    RecordStreamReader reader(in);
    ASSERT_EQ(reader.Next(), Status::Record);
    EXPECT_EQ(reader.Next(), Status::TooLong);
    EXPECT_EQ(reader.error(), "record at byte offset 54: data length 1048525 exceeds 1048524");
}

TEST(RecordStreamReaderTest, LargestRecordIsAccepted) {
    std::ostringstream out;
    const std::string data(kMaxRecordDataLength, 'x');
    WriteRecord(out, Header(1, 0, 1, kMaxRecordDataLength), Bytes(data));
    std::istringstream in(out.str());
    RecordStreamReader reader(in);
    ASSERT_EQ(reader.Next(), Status::Record);
    EXPECT_EQ(reader.data().size(), kMaxRecordDataLength);
}

}  // namespace
}  // namespace vantor
