#pragma once

#include <cstdint>
#include <istream>
#include <string>

#include "capture/CaptureDispatch.h"
#include "capture/RecordStreamReader.h"

namespace vantor {

struct ReplayResult {
    std::uint64_t records = 0;  // records handed to dispatch
    RecordStreamReader::Status status = RecordStreamReader::Status::End;
    std::string error;  // empty when the stream ended cleanly

    bool ok() const { return status == RecordStreamReader::Status::End; }
};

// Feeds every record of a capture-record stream through dispatch, as the capture reader
// would hand them over, and stops at the first record that cannot be read.
ReplayResult ReplayRecordStream(std::istream& input, CaptureDispatch& dispatch);

}  // namespace vantor
