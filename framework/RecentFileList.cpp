#include "framework/RecentFileList.h"

#include <algorithm>

#include "framework/Profile.h"

namespace vantor {

namespace {
std::string EntryName(std::size_t index) {
    return "File" + std::to_string(index + 1);
}
}  // namespace

void RecentFileList::Add(const std::string& path) {
    if (path.empty()) {
        return;
    }
    std::erase(m_entries, path);
    m_entries.insert(m_entries.begin(), path);
    if (m_entries.size() > m_size) {
        m_entries.resize(m_size);
    }
}

void RecentFileList::Remove(std::size_t index) {
    if (index < m_entries.size()) {
        m_entries.erase(m_entries.begin() + static_cast<std::ptrdiff_t>(index));
    }
}

void RecentFileList::ReadList(const Profile& profile) {
    m_entries.clear();
    for (std::size_t i = 0; i < m_size; ++i) {
        std::string path = profile.GetProfileString(kSection, EntryName(i), "");
        if (!path.empty() &&
            std::find(m_entries.begin(), m_entries.end(), path) == m_entries.end()) {
            m_entries.push_back(std::move(path));
        }
    }
}

void RecentFileList::WriteList(Profile& profile) const {
    for (std::size_t i = 0; i < m_size; ++i) {
        if (i < m_entries.size()) {
            profile.WriteProfileString(kSection, EntryName(i), m_entries[i]);
        } else {
            profile.DeleteProfileEntry(kSection, EntryName(i));
        }
    }
}

}  // namespace vantor
