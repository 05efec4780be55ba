#pragma once

// What the fuzz targets that feed records through dispatch share: a document with a listing
// view and a dispatch into it, and the checks made on what came out.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "capture/CaptureDispatch.h"
#include "document/CSnifferDoc.h"
#include "framework/ByteStreams.h"
#include "framework/CArchive.h"
#include "options/Options.h"
#include "tools/dump/ListingView.h"
#include "tools/dump/MessageListing.h"

namespace vantor::fuzzing {

inline std::vector<std::uint8_t> Store(CSnifferDoc& document) {
    MemoryByteSink sink;
    CArchive archive(sink);
    document.Serialize(archive);
    return sink.bytes();
}

struct Capture {
    Capture() {
        static const bool prepared = [] {
            Preferences().ParseContentTypes();
            return true;
        }();
        (void)prepared;
        document.AddView(&view);
    }

    // The document can be listed, and saves, loads and saves again to the same bytes.
    void Check() {
        std::ostringstream listing;
        WriteListing(listing, document, ListingFormat::Tsv);
        const std::vector<std::uint8_t> first = Store(document);
        CSnifferDoc reloaded;
        MemoryByteSource source(first);
        CArchive archive(source);
        reloaded.Serialize(archive);
        if (Store(reloaded) != first) {
            std::abort();
        }
    }

    CSnifferDoc document;
    ListingView view;
    CaptureDispatch dispatch{[this] { return &document; }};
};

}  // namespace vantor::fuzzing
