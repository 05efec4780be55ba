#pragma once

#include <filesystem>
#include <string>

namespace vantor {

// The folders every program of ours keeps its files in, from the XDG variables. A variable
// that is unset or not an absolute path gives the usual default.

// $XDG_CONFIG_HOME, else ~/.config
std::filesystem::path ConfigHome();
// $XDG_STATE_HOME, else ~/.local/state
std::filesystem::path StateHome();
// $XDG_RUNTIME_DIR, else /tmp/vantor-runtime-<uid>, which is created private to the user (and
// refused when someone else owns it).
std::filesystem::path RuntimeFolder();

// Creates folder and the folders above it, the last one private to the user (mode 0700).
// False when that failed.
bool MakePrivateFolder(const std::filesystem::path& folder);

}  // namespace vantor
