#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "options/AppStrings.h"
#include "framework/Profile.h"
#include "platform/SettingsStore.h"

namespace vantor::test {

// The current user's stored run count, or -1 when none is stored.
inline std::int32_t StoredRunCount() {
    SettingsStore store(SettingsStore::CurrentUserFile());
    return Profile(store, std::string(kApplicationKey))
        .GetProfileInt("Preferences", "run_count", -1);
}

// The help folder stored in the current user's settings, or nothing.
inline std::optional<std::string> StoredProgramFolder() {
    const SettingsStore store(SettingsStore::CurrentUserFile());
    return store.ReadString(std::string(kApplicationKey) + "\\Setup", "ProgramFolder");
}

// Stores settings as a user who has run the program before has them, so that no first-run
// notice waits for an answer; helpFolder, when given, as the help folder.
inline bool StoreReturningUser(const std::string& helpFolder = {}) {
    SettingsStore store(SettingsStore::CurrentUserFile());
    Profile profile(store, std::string(kApplicationKey));
    profile.WriteProfileInt("Preferences", "run_count", 1);
    if (!helpFolder.empty()) {
        profile.WriteProfileString("Setup", "ProgramFolder", helpFolder);
    }
    return profile.Flush();
}

}  // namespace vantor::test
