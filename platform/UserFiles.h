#pragma once

#include <filesystem>
#include <optional>

namespace vantor {

// Files the user names for us to write (documents, record streams) may sit in folders that
// other users can write, such as /tmp. A symbolic link planted there must not make us write
// where its maker wants.

// The file that path names, following only symbolic links the user can trust: links owned by
// the user or by root, and in a sticky folder that others can write, only those owned by the
// user or by the folder's owner (the kernel's protected_symlinks rule, kept whatever the
// system's setting). Only the last component is looked at. Nothing, with errno EACCES for an
// untrusted link or ELOOP for too many, when there is no such file to write.
std::optional<std::filesystem::path> ResolveTrustedLinks(const std::filesystem::path& path);

// Opens path for writing from its start, as ResolveTrustedLinks finds it: an existing file is
// truncated and keeps its permission bits, a new one is made mode 0600 (what we write holds
// other people's cookies and passwords). The descriptor, or -1 with errno set.
int OpenUserFileForWriting(const std::filesystem::path& path);

}  // namespace vantor
