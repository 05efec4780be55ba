#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "options/Options.h"

namespace vantor {

class Profile;

// One persisted option: its section, its value name, and the field it is kept in. An 8-bit
// boolean is stored as 0 or 1 and read back as true for any nonzero value; 32-bit integers and
// booleans are stored as they are held; texts as texts.
struct SettingField {
    using Bool8 = std::function<bool&(Options&)>;
    using Int32 = std::function<std::int32_t&(Options&)>;
    using Text = std::function<std::string&(Options&)>;

    std::string_view section;
    std::string name;
    std::variant<Bool8, Int32, Text> field;
};

// Every persisted option in the order the settings are saved: "Preferences", then
// "FilterSettings", then "FindSettings". The run count and the help folder are not among them.
const std::vector<SettingField>& SettingFields();
const SettingField* FindSettingField(std::string_view name);

// The field's value as text, and the field set from text (a decimal number for numbers, 0 or 1
// or true or false for booleans). SetSettingFromText gives false for text it cannot read.
std::string SettingValueText(const SettingField& setting, Options& options);
bool SetSettingFromText(const SettingField& setting, Options& options, std::string_view text);

// Reads the help folder ("Setup" / ProgramFolder), the run count and every option, each with
// the field's current value as its default, and rebuilds the derived lists.
void LoadSettings(const Profile& profile, Options& options);

// Writes every option, then increases the run count by one and writes it. The help folder is
// never written: it is set from outside the program.
void SaveSettings(Profile& profile, Options& options);

}  // namespace vantor
