#pragma once

#include <cstdint>

namespace vantor {

// How the plain text of a connection was had: plain on the wire, taken by the TLS hooks from
// inside the program's TLS library, or decrypted with logged keys.
enum class TlsText : std::uint8_t { None = 0, Hooked = 1, Decrypted = 2 };

}  // namespace vantor
