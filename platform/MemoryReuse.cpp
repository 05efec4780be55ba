#include "platform/MemoryReuse.h"

#include <malloc.h>

namespace vantor {

void KeepFreedMemoryForReuse() {
    // Blocks below the mapping threshold come from the heaps and stay there when freed, until
    // the free memory at a heap's top passes the trim threshold. Larger blocks (bodies of
    // megabytes) keep their own mappings, which realloc grows without copying.
    constexpr int kMappedFrom = 4 * 1024 * 1024;
    constexpr int kTrimFrom = 64 * 1024 * 1024;
    ::mallopt(M_MMAP_THRESHOLD, kMappedFrom);
    ::mallopt(M_TRIM_THRESHOLD, kTrimFrom);
}

}  // namespace vantor
