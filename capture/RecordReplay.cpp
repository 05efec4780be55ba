#include "capture/RecordReplay.h"

namespace vantor {

ReplayResult ReplayRecordStream(std::istream& input, CaptureDispatch& dispatch) {
    RecordStreamReader reader(input);
    ReplayResult result;
    RecordStreamReader::Status status;
    while ((status = reader.Next()) == RecordStreamReader::Status::Record) {
        CaptureRecord header = reader.header();
        header.providerData = kCaptureHeaderSize;
        dispatch.Dispatch(header, reader.data());
        ++result.records;
    }
    result.status = status;
    result.error = reader.error();
    return result;
}

}  // namespace vantor
