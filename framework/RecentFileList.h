#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vantor {

class Profile;

// The most recently opened or saved document files, newest first, as the File menu shows
// them. Kept in the profile section "Recent File List" as File1 to FileN.
class RecentFileList {
public:
    static constexpr std::string_view kSection = "Recent File List";
    // Menu entries are cut to this many characters.
    static constexpr std::size_t kMenuTextLength = 30;

    explicit RecentFileList(std::size_t size = 4) : m_size(size) {}

    // Puts path first; a path already in the list moves up instead of appearing twice.
    void Add(const std::string& path);
    void Remove(std::size_t index);
    const std::vector<std::string>& entries() const { return m_entries; }

    void ReadList(const Profile& profile);
    // Writes every entry, and removes the values of the places that are empty.
    void WriteList(Profile& profile) const;

    // path shortened for a menu: whole when it fits; else its first folder, "...", and as many
    // of its last parts as fit; else the file name alone.
    static std::string AbbreviatePath(std::string_view path, std::size_t maxLength);

private:
    std::size_t m_size;
    std::vector<std::string> m_entries;
};

}  // namespace vantor
