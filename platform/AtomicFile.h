#pragma once

#include <filesystem>
#include <string_view>

namespace vantor {

// Replaces file with text as a whole: writes a new temporary file beside it (mode 0600, made
// with O_EXCL, so that no file or link planted there is used), makes it durable, and renames
// it over the file. A reader sees the old file or the new one, never a part; a crash leaves
// the old one. False when any step failed.
bool WriteFileAtomically(const std::filesystem::path& file, std::string_view text);

// Makes a finished rename in folder durable; a failure here loses nothing that was there before.
void SyncFolder(const std::filesystem::path& folder);

}  // namespace vantor
