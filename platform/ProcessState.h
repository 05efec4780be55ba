#pragma once

#include <cstdint>

namespace vantor {

// Whether the process with this id has ended: there is none, or it is only left as a zombie
// that its parent has not reaped yet. A process of another user counts as running.
bool ProcessHasEnded(std::uint32_t pid);

}  // namespace vantor
