#pragma once

namespace vantor {

// Lets freed memory stay with the process for reuse, up to tens of megabytes, instead of going
// back to the system at each free. A capture takes and frees message texts of like sizes at a
// high rate; each block handed back would cost page faults on the next one, and those faults
// cost more than the copying of the bytes. Call before any thread starts.
void KeepFreedMemoryForReuse();

}  // namespace vantor
