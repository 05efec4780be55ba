#pragma once

#include <cstdint>
#include <span>

namespace vantor {

// Whether data begin an HTTP/1.x request line: a method of 1 to 24 upper-case letters, '-' or
// '_', then a space (the HTTP/2 connection preface passes too).
bool BeginsRequestLine(std::span<const std::uint8_t> data);
// The same, taking data that end inside the method for a start: the next bytes say more.
bool LooksLikeRequestStart(std::span<const std::uint8_t> data);
// Whether data begin a status line ("HTTP/"), as far as they go.
bool LooksLikeResponseStart(std::span<const std::uint8_t> data);
// Whether data begin a status line: "HTTP/" at least.
bool BeginsStatusLine(std::span<const std::uint8_t> data);

}  // namespace vantor
