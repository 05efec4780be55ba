#include "framework/StandardProfileSettings.h"

#include "framework/Profile.h"

namespace vantor {

void StandardProfileSettings::Load(const Profile& profile) {
    recentFiles.ReadList(profile);
    previewPages = profile.GetProfileInt("Settings", "PreviewPages", 0);
}

void StandardProfileSettings::Save(Profile& profile) const {
    recentFiles.WriteList(profile);
    if (previewPages != 0) {
        profile.WriteProfileInt("Settings", "PreviewPages", previewPages);
    }
}

}  // namespace vantor
