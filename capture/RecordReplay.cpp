#include "capture/RecordReplay.h"

namespace vantor {

ReplayResult ReplayRecordStream(std::istream& input, CaptureDispatch& dispatch) {
    RecordStreamReader reader(input);
    ReplayResult result;
    RecordStreamReader::Status status;
    while ((status = reader.Next()) == RecordStreamReader::Status::Record) {
        PendingRecord& pending = dispatch.pendingRecord();
        pending.header = reader.header();
        pending.header.providerData = kCaptureHeaderSize;
        pending.data = reader.data();
        dispatch.OnCaptureRecord();
        ++result.records;
    }
    result.status = status;
    result.error = reader.error();
    return result;
}

}  // namespace vantor
