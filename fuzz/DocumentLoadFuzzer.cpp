// Document files from anywhere: loading never reads out of bounds, allocates without bound or
// crashes, and whatever loads is saved, loaded and saved again to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "document/CSnifferDoc.h"
#include "framework/ArchiveExceptions.h"
#include "framework/ByteStreams.h"
#include "framework/CArchive.h"

namespace {

std::vector<std::uint8_t> Store(vantor::CSnifferDoc& document) {
    vantor::MemoryByteSink sink;
    vantor::CArchive archive(sink);
    document.Serialize(archive);
    return sink.bytes();
}

bool Load(vantor::CSnifferDoc& document, std::span<const std::uint8_t> bytes) {
    vantor::MemoryByteSource source(bytes);
    vantor::CArchive archive(source);
    try {
        document.Serialize(archive);
        return true;
    } catch (const vantor::CArchiveException&) {
        document.DeleteContents();
        return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vantor::CSnifferDoc document;
    if (!Load(document, {data, size})) {
        return 0;
    }
    const std::vector<std::uint8_t> first = Store(document);
    vantor::CSnifferDoc reloaded;
    if (!Load(reloaded, first) || Store(reloaded) != first) {
        std::abort();  // what we write must read back to the same bytes
    }
    return 0;
}
