#include "framework/Profile.h"

#include "platform/SettingsStore.h"

namespace vantor {

Profile::Profile(SettingsStore& store, std::string applicationKey)
    : m_store(store), m_applicationKey(std::move(applicationKey)) {}

std::string Profile::SectionKey(std::string_view section) const {
    return m_applicationKey + "\\" + std::string(section);
}

std::int32_t Profile::GetProfileInt(std::string_view section, std::string_view entry,
                                    std::int32_t defaultValue) const {
    const auto value = m_store.ReadDword(SectionKey(section), entry);
    return value ? static_cast<std::int32_t>(*value) : defaultValue;
}

std::string Profile::GetProfileString(std::string_view section, std::string_view entry,
                                      std::string_view defaultValue) const {
    auto value = m_store.ReadString(SectionKey(section), entry);
    return value ? std::move(*value) : std::string(defaultValue);
}

void Profile::WriteProfileInt(std::string_view section, std::string_view entry,
                              std::int32_t value) {
    m_store.WriteDword(SectionKey(section), entry, static_cast<std::uint32_t>(value));
}

void Profile::WriteProfileString(std::string_view section, std::string_view entry,
                                 std::string_view value) {
    m_store.WriteString(SectionKey(section), entry, value);
}

void Profile::DeleteProfileEntry(std::string_view section, std::string_view entry) {
    m_store.DeleteValue(SectionKey(section), entry);
}

bool Profile::Flush() {
    return m_store.Flush();
}

}  // namespace vantor
