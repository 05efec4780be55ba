#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace vantor {

void SyncFolder(const std::filesystem::path& folder) {
    const int fd =
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

bool WriteFileAtomically(const std::filesystem::path& file, std::string_view text) {
    // A new name that nobody can have made or linked first (O_CREAT | O_EXCL, mode 0600).
    // Built by appending: GCC 12 warns falsely (-Wrestrict) on "." + std::string here.
    std::string name(".");
    name += file.filename().string();
    name += ".XXXXXX";
    std::filesystem::path pattern = file;
    pattern.replace_filename(name);
    const std::string patternText = pattern.string();
    std::vector<char> temporary(patternText.begin(), patternText.end());
    temporary.push_back('\0');
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool ok = true;
    std::size_t done = 0;
    while (ok && done < text.size()) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno != EINTR) {
            ok = false;
        } else if (wrote > 0) {
            done += static_cast<std::size_t>(wrote);
        }
    }
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temporary.data(), file.c_str()) != 0) {
        ::unlink(temporary.data());
        return false;
    }
    SyncFolder(file.parent_path());
    return true;
}

}  // namespace vantor
