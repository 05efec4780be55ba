#pragma once

#include <cstdint>
#include <vector>

#include "document/CSnifferDoc.h"
#include "framework/ByteStreams.h"
#include "framework/CArchive.h"

namespace vantor::test {

// The bytes of a document as a file holds them.
inline std::vector<std::uint8_t> Stored(CSnifferDoc& document) {
    MemoryByteSink sink;
    CArchive archive(sink);
    document.Serialize(archive);
    return sink.bytes();
}

}  // namespace vantor::test
