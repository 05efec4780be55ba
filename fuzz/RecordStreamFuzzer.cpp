// Capture-record streams from anywhere, through dispatch into the document: nothing reads out
// of bounds or crashes, the listing can be written, and the resulting document saves, loads
// and saves again to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "options/Options.h"
#include "capture/RecordReplay.h"
#include "document/CSnifferDoc.h"
#include "framework/ByteStreams.h"
#include "framework/CArchive.h"
#include "tools/dump/ListingView.h"
#include "tools/dump/MessageListing.h"

namespace {

class NoSignals : public vantor::CaptureSignals {
public:
    void ResetFull() override {}
    void SetEmpty() override {}
};

std::vector<std::uint8_t> Store(vantor::CSnifferDoc& document) {
    vantor::MemoryByteSink sink;
    vantor::CArchive archive(sink);
    document.Serialize(archive);
    return sink.bytes();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool prepared = [] {
        vantor::Preferences().ParseContentTypes();
        return true;
    }();
    (void)prepared;

    vantor::CSnifferDoc document;
    vantor::ListingView view;
    document.AddView(&view);
    NoSignals signals;
    vantor::CaptureDispatch dispatch([&document] { return &document; }, signals);
    std::istringstream input(std::string(reinterpret_cast<const char*>(data), size));
    vantor::ReplayRecordStream(input, dispatch);

    std::ostringstream listing;
    vantor::WriteListing(listing, document, vantor::ListingFormat::Tsv);

    const std::vector<std::uint8_t> first = Store(document);
    vantor::CSnifferDoc reloaded;
    vantor::MemoryByteSource source(first);
    vantor::CArchive archive(source);
    reloaded.Serialize(archive);
    if (Store(reloaded) != first) {
        std::abort();
    }
    return 0;
}
