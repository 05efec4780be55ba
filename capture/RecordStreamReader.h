#pragma once

#include <cstdint>
#include <istream>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "record/CaptureRecord.h"

namespace vantor {

// A capture-record stream: records back to back, each its 52-byte header followed by its
// dataLength bytes, exactly as they stand in the capture buffer. Used to replay a capture.
class RecordStreamReader {
public:
    enum class Status {
        Record,     // a whole record was read
        End,        // the stream ended between records
        Truncated,  // the stream ended inside a record
        TooLong,    // a dataLength above the largest a capture buffer can hold
        ReadError,  // the stream failed for another reason
    };

    explicit RecordStreamReader(std::istream& input) : m_input(input) {}

    // Reads the next record. After anything but Record, error() says what went wrong and
    // where, and every later call gives the same status.
    Status Next();

    const CaptureRecord& header() const { return m_header; }
    std::span<const std::uint8_t> data() const { return m_data; }
    // Byte offset of the record last read, or of the record that could not be read.
    std::uint64_t recordOffset() const { return m_recordOffset; }
    const std::string& error() const { return m_error; }

private:
    Status Fail(Status status, std::string error);
    std::size_t ReadUpTo(std::uint8_t* into, std::size_t count);

    std::istream& m_input;
    CaptureRecord m_header;
    std::vector<std::uint8_t> m_data;
    std::uint64_t m_offset = 0;
    std::uint64_t m_recordOffset = 0;
    Status m_status = Status::Record;
    std::string m_error;
};

// Writes one record in stream form. The header's dataLength is written as given; data must
// hold that many bytes.
void WriteRecord(std::ostream& output, const CaptureRecord& header,
                 std::span<const std::uint8_t> data);

}  // namespace vantor
