// Capture-record streams from anywhere, through dispatch into the document: nothing reads out
// of bounds or crashes, the listing can be written, and the resulting document saves, loads
// and saves again to the same bytes.
#include <cstdint>
#include <sstream>
#include <string>

#include "capture/RecordReplay.h"
#include "fuzz/CaptureFuzzing.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vantor::fuzzing::Capture capture;
    std::istringstream input(std::string(reinterpret_cast<const char*>(data), size));
    vantor::ReplayRecordStream(input, capture.dispatch);
    capture.Check();
    return 0;
}
