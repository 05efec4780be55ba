#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vantor {

class SettingsStore;

// The framework's profile functions: integers and texts by section and entry, below the
// application's own key of the current-user settings store.
class Profile {
public:
    Profile(SettingsStore& store, std::string applicationKey);

    // A missing value, or one of the other type, gives the default.
    std::int32_t GetProfileInt(std::string_view section, std::string_view entry,
                               std::int32_t defaultValue) const;
    std::string GetProfileString(std::string_view section, std::string_view entry,
                                 std::string_view defaultValue) const;
    void WriteProfileInt(std::string_view section, std::string_view entry, std::int32_t value);
    void WriteProfileString(std::string_view section, std::string_view entry,
                            std::string_view value);
    void DeleteProfileEntry(std::string_view section, std::string_view entry);

    // Writes what changed to the store's file; false when that failed.
    bool Flush();

private:
    std::string SectionKey(std::string_view section) const;

    SettingsStore& m_store;
    std::string m_applicationKey;
};

}  // namespace vantor
