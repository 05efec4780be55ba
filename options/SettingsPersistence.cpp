#include "options/SettingsPersistence.h"

#include <charconv>

#include "framework/Profile.h"

namespace vantor {

namespace {

constexpr std::string_view kPreferences = "Preferences";
constexpr std::string_view kFilterSettings = "FilterSettings";
constexpr std::string_view kFindSettings = "FindSettings";
constexpr std::string_view kRunSettings = "RunProgram";

std::vector<SettingField> BuildSettingFields() {
    using Bool8 = SettingField::Bool8;
    using Int32 = SettingField::Int32;
    using Text = SettingField::Text;
    std::vector<SettingField> fields = {
        {kPreferences, "max_req_size",
         Int32([](Options & o) -> auto& { return o.preferences.max_req_size; })},
        {kPreferences, "max_res_size",
         Int32([](Options & o) -> auto& { return o.preferences.max_res_size; })},
        {kPreferences, "scan_req_body",
         Bool8([](Options & o) -> auto& { return o.preferences.scan_req_body; })},
        {kPreferences, "scan_res_body",
         Bool8([](Options & o) -> auto& { return o.preferences.scan_res_body; })},
        {kPreferences, "view_order",
         Int32([](Options & o) -> auto& { return o.preferences.view_order; })},
        {kPreferences, "show_req_body",
         Bool8([](Options & o) -> auto& { return o.preferences.show_req_body; })},
        {kPreferences, "show_res_body",
         Bool8([](Options & o) -> auto& { return o.preferences.show_res_body; })},
        {kPreferences, "decoded_body",
         Bool8([](Options & o) -> auto& { return o.preferences.decoded_body; })},
        {kPreferences, "main_view",
         Int32([](Options & o) -> auto& { return o.preferences.main_view; })},
        {kPreferences, "exchange_columns",
         Text([](Options & o) -> auto& { return o.preferences.exchange_columns; })},
        {kPreferences, "exchange_panes",
         Text([](Options & o) -> auto& { return o.preferences.exchange_panes; })},
        {kPreferences, "allowed_content",
         Text([](Options & o) -> auto& { return o.preferences.allowed_content; })},
        {kPreferences, "tls_key_log",
         Text([](Options & o) -> auto& { return o.preferences.tls_key_log; })},
        {kPreferences, "whole_word_content",
         Int32([](Options & o) -> auto& { return o.preferences.whole_word_content; })},
        {kFilterSettings, "content_app",
         Int32([](Options & o) -> auto& { return o.filter.content_app; })},
        {kFilterSettings, "content_audio",
         Int32([](Options & o) -> auto& { return o.filter.content_audio; })},
        {kFilterSettings, "content_image",
         Int32([](Options & o) -> auto& { return o.filter.content_image; })},
        {kFilterSettings, "content_other",
         Int32([](Options & o) -> auto& { return o.filter.content_other; })},
        {kFilterSettings, "content_text",
         Int32([](Options & o) -> auto& { return o.filter.content_text; })},
        {kFilterSettings, "content_without",
         Int32([](Options & o) -> auto& { return o.filter.content_without; })},
        {kFilterSettings, "rescode_client_error",
         Int32([](Options & o) -> auto& { return o.filter.rescode_client_error; })},
        {kFilterSettings, "rescode_info",
         Int32([](Options & o) -> auto& { return o.filter.rescode_info; })},
        {kFilterSettings, "rescode_other",
         Int32([](Options & o) -> auto& { return o.filter.rescode_other; })},
        {kFilterSettings, "rescode_redirect",
         Int32([](Options & o) -> auto& { return o.filter.rescode_redirect; })},
        {kFilterSettings, "rescode_server_error",
         Int32([](Options & o) -> auto& { return o.filter.rescode_server_error; })},
        {kFilterSettings, "rescode_success",
         Int32([](Options & o) -> auto& { return o.filter.rescode_success; })},
        {kFilterSettings, "host_text",
         Text([](Options & o) -> auto& { return o.filter.m_hostText; })},
    };
    for (std::size_t slot = 0; slot < InputHistory::kSize; ++slot) {
        fields.push_back(
            {kFilterSettings, "HistoryHosts" + std::to_string(slot),
             Text([slot](Options & o) -> auto& { return o.filter.hostHistory[slot]; })});
    }
    fields.push_back(
        {kFindSettings, "text", Text([](Options & o) -> auto& { return o.find.text; })});
    for (std::size_t slot = 0; slot < InputHistory::kSize; ++slot) {
        fields.push_back({kFindSettings, "history_find" + std::to_string(slot),
                          Text([slot](Options & o) -> auto& { return o.find.history[slot]; })});
    }
    for (std::size_t slot = 0; slot < InputHistory::kSize; ++slot) {
        fields.push_back({kRunSettings, "history_command" + std::to_string(slot),
                          Text([slot](Options & o) -> auto& { return o.run.commands[slot]; })});
    }
    for (std::size_t slot = 0; slot < InputHistory::kSize; ++slot) {
        fields.push_back({kRunSettings, "history_folder" + std::to_string(slot),
                          Text([slot](Options & o) -> auto& { return o.run.folders[slot]; })});
    }
    return fields;
}

template <typename... Handlers>
struct Overloaded : Handlers... {
    using Handlers::operator()...;
};
template <typename... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

void LoadSection(const Profile& profile, Options& options, std::string_view section) {
    for (const SettingField& setting : SettingFields()) {
        if (setting.section != section) {
            continue;
        }
        std::visit(Overloaded{
                       [&](const SettingField::Bool8& field) {
                           bool& value = field(options);
                           value = profile.GetProfileInt(section, setting.name, value ? 1 : 0) != 0;
                       },
                       [&](const SettingField::Int32& field) {
                           std::int32_t& value = field(options);
                           value = profile.GetProfileInt(section, setting.name, value);
                       },
                       [&](const SettingField::Text& field) {
                           std::string& value = field(options);
                           value = profile.GetProfileString(section, setting.name, value);
                       },
                   },
                   setting.field);
    }
}

std::optional<std::int32_t> ParseInt(std::string_view text) {
    std::int32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

const std::vector<SettingField>& SettingFields() {
    static const std::vector<SettingField> fields = BuildSettingFields();
    return fields;
}

const SettingField* FindSettingField(std::string_view name) {
    for (const SettingField& setting : SettingFields()) {
        if (setting.name == name) {
            return &setting;
        }
    }
    return nullptr;
}

std::string SettingValueText(const SettingField& setting, Options& options) {
    return std::visit(
        Overloaded{
            [&](const SettingField::Bool8& field) -> std::string {
                return field(options) ? "1" : "0";
            },
            [&](const SettingField::Int32& field) -> std::string {
                return std::to_string(field(options));
            },
            [&](const SettingField::Text& field) -> std::string { return field(options); },
        },
        setting.field);
}

bool SetSettingFromText(const SettingField& setting, Options& options, std::string_view text) {
    return std::visit(Overloaded{
                          [&](const SettingField::Bool8& field) {
                              if (text == "1" || text == "true") {
                                  field(options) = true;
                              } else if (text == "0" || text == "false") {
                                  field(options) = false;
                              } else {
                                  return false;
                              }
                              return true;
                          },
                          [&](const SettingField::Int32& field) {
                              const auto value = ParseInt(text);
                              if (value) {
                                  field(options) = *value;
                              }
                              return value.has_value();
                          },
                          [&](const SettingField::Text& field) {
                              field(options) = std::string(text);
                              return true;
                          },
                      },
                      setting.field);
}

void LoadSettings(const Profile& profile, Options& options) {
    options.helpFolder = profile.GetProfileString("Setup", "ProgramFolder", options.helpFolder);
    options.runCount = profile.GetProfileInt(kPreferences, "run_count", options.runCount);
    LoadSection(profile, options, kPreferences);
    options.preferences.ParseContentTypes();
    LoadSection(profile, options, kFilterSettings);
    options.filter.SplitHostWords();
    LoadSection(profile, options, kFindSettings);
    LoadSection(profile, options, kRunSettings);
}

void SaveSettings(Profile& profile, Options& options) {
    for (const SettingField& setting : SettingFields()) {
        std::visit(
            Overloaded{
                [&](const SettingField::Bool8& field) {
                    profile.WriteProfileInt(setting.section, setting.name, field(options) ? 1 : 0);
                },
                [&](const SettingField::Int32& field) {
                    profile.WriteProfileInt(setting.section, setting.name, field(options));
                },
                [&](const SettingField::Text& field) {
                    profile.WriteProfileString(setting.section, setting.name, field(options));
                },
            },
            setting.field);
    }
    if (options.runCount < INT32_MAX) {
        ++options.runCount;
    }
    profile.WriteProfileInt(kPreferences, "run_count", options.runCount);
    profile.Flush();
}

}  // namespace vantor
