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

std::string RecentFileList::AbbreviatePath(std::string_view path, std::size_t maxLength) {
    if (path.size() <= maxLength) {
        return std::string(path);
    }
    const std::size_t lastSlash = path.rfind('/');
    if (lastSlash == std::string_view::npos) {
        return std::string(path);
    }
    const std::string_view name = path.substr(lastSlash + 1);
    // The first folder: "/home" of "/home/...", "docs" of "docs/...".
    const std::size_t firstEnd = path.find('/', path.front() == '/' ? 1 : 0);
    const std::string_view head = path.substr(0, firstEnd);
    constexpr std::string_view kEllipsis = "/...";
    if (firstEnd >= lastSlash || head.size() + kEllipsis.size() + 1 + name.size() > maxLength) {
        return std::string(name);
    }
    // Take whole trailing parts while the result still fits.
    std::size_t tailStart = lastSlash;
    while (tailStart > firstEnd) {
        const std::size_t previous = path.rfind('/', tailStart - 1);
        if (previous == std::string_view::npos || previous <= firstEnd ||
            head.size() + kEllipsis.size() + (path.size() - previous) > maxLength) {
            break;
        }
        tailStart = previous;
    }
    return std::string(head) + std::string(kEllipsis) + std::string(path.substr(tailStart));
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
