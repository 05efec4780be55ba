#pragma once

#include <filesystem>
#include <string_view>

namespace vantor {

// Replaces file with text as a whole: writes a temporary file beside it (mode 0600), makes it
// durable, and renames it over the file. A reader sees the old file or the new one, never a
// part; a crash leaves the old one. False when any step failed.
bool WriteFileAtomically(const std::filesystem::path& file, std::string_view text);

}  // namespace vantor
