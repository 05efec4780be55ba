#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

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
// truncated and keeps its permission bits but those for all other users, a new one is made
// mode 0600 (what we write holds other people's cookies and passwords). A file that another
// user left in a sticky folder everyone can write (/tmp) is refused, with EACCES, whoever we
// are. The descriptor, or -1 with errno set.
int OpenUserFileForWriting(const std::filesystem::path& path);

// A name for a new file beside target that no other writer uses at the same time.
std::filesystem::path TemporaryPathBeside(const std::filesystem::path& target);

// A file of the user's written whole or not at all: the bytes go to a new file beside it (made
// with O_EXCL, mode 0600, or the mode of the file it replaces but what it grants all other
// users), which takes the file's place only on Commit. Destroyed before Commit, it removes the
// new file and leaves the old one. A device or pipe that path names (/dev/stdout) is written
// directly. A file another user left in a sticky folder is not replaced (EACCES).
class ReplacingFile {
public:
    explicit ReplacingFile(const std::filesystem::path& path);
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    // Whether the new file is open; else error() is the errno of what failed.
    bool ok() const { return m_descriptor >= 0; }
    int error() const { return m_error; }
    // Hands the descriptor over to whoever writes and closes it.
    int TakeDescriptor();
    // Puts the new file in the old one's place (once the descriptor is closed); false, with
    // error() set, when the rename failed.
    bool Commit();
    // The file that takes the new one's place (path with trusted links followed).
    const std::filesystem::path& target() const { return m_target; }

private:
    std::filesystem::path m_target;
    std::filesystem::path m_temporary;
    int m_descriptor = -1;
    int m_error = 0;
    bool m_owned = true;
    bool m_committed = false;
};

// Writes bytes to path as a ReplacingFile: whole or not at all. Nothing when written; else
// what went wrong, for the user.
std::optional<std::string> WriteUserFile(const std::filesystem::path& path, std::string_view bytes);

}  // namespace vantor
