#include "capture/RecordStreamReader.h"

#include <array>

namespace vantor {

RecordStreamReader::Status RecordStreamReader::Fail(Status status, std::string error) {
    m_status = status;
    m_error = std::move(error);
    m_data.clear();
    return status;
}

std::size_t RecordStreamReader::ReadUpTo(std::uint8_t* into, std::size_t count) {
    m_input.read(reinterpret_cast<char*>(into), static_cast<std::streamsize>(count));
    const auto got = static_cast<std::size_t>(m_input.gcount());
    m_offset += got;
    return got;
}

RecordStreamReader::Status RecordStreamReader::Next() {
    if (m_status != Status::Record) {
        return m_status;
    }
    m_recordOffset = m_offset;
    const std::string where = "record at byte offset " + std::to_string(m_recordOffset);

    std::array<std::uint8_t, kCaptureHeaderSize> headerBytes{};
    const std::size_t headerRead = ReadUpTo(headerBytes.data(), headerBytes.size());
    if (m_input.bad()) {
        return Fail(Status::ReadError, where + ": read error");
    }
    if (headerRead == 0) {
        m_data.clear();
        m_status = Status::End;
        return m_status;
    }
    if (headerRead < headerBytes.size()) {
        return Fail(Status::Truncated, "truncated " + where + ": header has " +
                                           std::to_string(headerRead) + " of " +
                                           std::to_string(kCaptureHeaderSize) + " bytes");
    }
    m_header = ReadCaptureRecord(headerBytes);
    if (m_header.dataLength > kMaxRecordDataLength) {
        return Fail(Status::TooLong, where + ": data length " +
                                         std::to_string(m_header.dataLength) + " exceeds " +
                                         std::to_string(kMaxRecordDataLength));
    }
    m_data.resize(m_header.dataLength);
    const std::size_t dataRead = ReadUpTo(m_data.data(), m_data.size());
    if (m_input.bad()) {
        return Fail(Status::ReadError, where + ": read error");
    }
    if (dataRead < m_data.size()) {
        return Fail(Status::Truncated, "truncated " + where + ": data has " +
                                           std::to_string(dataRead) + " of " +
                                           std::to_string(m_header.dataLength) + " bytes");
    }
    return Status::Record;
}

void WriteRecord(std::ostream& output, const CaptureRecord& header,
                 std::span<const std::uint8_t> data) {
    std::array<std::uint8_t, kCaptureHeaderSize> headerBytes{};
    WriteCaptureRecord(header, headerBytes);
    output.write(reinterpret_cast<const char*>(headerBytes.data()),
                 static_cast<std::streamsize>(headerBytes.size()));
    output.write(reinterpret_cast<const char*>(data.data()),
                 static_cast<std::streamsize>(data.size()));
}

}  // namespace vantor
