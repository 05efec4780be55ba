#pragma once

#include <cstdint>

#include "framework/RecentFileList.h"

namespace vantor {

class Profile;

// The framework's own entries beside the application's: the recent-file list and the number
// of print-preview pages ("Settings" / "PreviewPages", written only when nonzero).
struct StandardProfileSettings {
    RecentFileList recentFiles{4};
    std::int32_t previewPages = 0;

    void Load(const Profile& profile);
    void Save(Profile& profile) const;
};

}  // namespace vantor
