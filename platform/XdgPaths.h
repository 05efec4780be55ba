#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace vantor {

// The folders every program of ours keeps its files in, from the XDG variables. A variable
// that is unset or not an absolute path gives the usual default.

// $XDG_CONFIG_HOME, else ~/.config
std::filesystem::path ConfigHome();
// $XDG_STATE_HOME, else ~/.local/state
std::filesystem::path StateHome();
// $XDG_RUNTIME_DIR, else ${TMPDIR:-/tmp}/vantor-runtime-<uid>.
std::filesystem::path RuntimeFolder();
// <runtime folder>/vantor: the instance lock and socket, the capture channel file. Other users
// must not be able to put anything there, so it is used only after PreparePrivateRuntimeFolder.
std::filesystem::path PrivateRuntimeFolder();

// Makes the private runtime folder (and the fallback runtime folder) as needed and checks that
// nobody else can change what is in them: both real folders, not links, owned by the user, the
// runtime folder writable by nobody else and the private folder mode 0700. The reason, for the
// user, when they are not.
std::optional<std::string> PreparePrivateRuntimeFolder();

// Creates the folders above folder as needed, and folder itself mode 0700; a folder that
// exists must be a real folder owned by the user, and is made 0700 when it was more open.
// False when that failed or someone else owns it.
bool MakePrivateFolder(const std::filesystem::path& folder);

}  // namespace vantor
