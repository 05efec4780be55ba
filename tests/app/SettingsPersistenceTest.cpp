#include "options/SettingsPersistence.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "TempDirectory.h"
#include "options/AppStrings.h"
#include "framework/Profile.h"
#include "framework/StandardProfileSettings.h"
#include "platform/SettingsStore.h"

namespace vantor {
namespace {

using testing::ElementsAre;

class SettingsPersistenceTest : public testing::Test {
protected:
    // Runs a load, then a save, against the store file, as one run of the program does.
    Options Run(const std::function<void(Options&)>& change = {}) {
        SettingsStore store(file);
        Profile profile(store, std::string(kApplicationKey));
        Options options;
        LoadSettings(profile, options);
        if (change) {
            change(options);
        }
        SaveSettings(profile, options);
        return options;
    }

    Options Loaded() {
        SettingsStore store(file);
        const Profile profile(store, std::string(kApplicationKey));
        Options options;
        LoadSettings(profile, options);
        return options;
    }

    test::TempDirectory directory;
    std::filesystem::path file = directory / "current-user.reg";
};

TEST_F(SettingsPersistenceTest, WithoutAStoreEveryFieldHasItsDefault) {
    const Options loaded = Loaded();
    const Options defaults;
    for (const SettingField& setting : SettingFields()) {
        EXPECT_EQ(SettingValueText(setting, const_cast<Options&>(loaded)),
                  SettingValueText(setting, const_cast<Options&>(defaults)))
            << setting.name;
    }
    EXPECT_EQ(loaded.runCount, 0);
    EXPECT_EQ(loaded.helpFolder, "");
    EXPECT_THAT(loaded.preferences.allowedContentList,
                ElementsAre("text/", "application/x-javascript", "x-www-form-urlencoded"))
        << "the load rebuilds the derived lists";
    EXPECT_TRUE(loaded.preferences.allowWithoutContentType);
}

TEST_F(SettingsPersistenceTest, EveryFieldComesBackInTheNextRunIndependently) {
    // Give each field a value of its own that differs from its default.
    Run([](Options& options) {
        int n = 2;
        for (const SettingField& setting : SettingFields()) {
            std::visit(
                [&](const auto& field) {
                    using Field = std::decay_t<decltype(field(options))>;
                    if constexpr (std::is_same_v<Field, bool>) {
                        field(options) = !field(options);
                    } else if constexpr (std::is_same_v<Field, std::int32_t>) {
                        field(options) = (setting.section == "FilterSettings") ? 0 : n;
                    } else {
                        field(options) = setting.name + "-" + std::to_string(n);
                    }
                },
                setting.field);
            ++n;
        }
    });
    Options loaded = Loaded();
    Options defaults;
    int n = 2;
    for (const SettingField& setting : SettingFields()) {
        EXPECT_NE(SettingValueText(setting, loaded), SettingValueText(setting, defaults))
            << setting.name;
        if (std::holds_alternative<SettingField::Text>(setting.field)) {
            EXPECT_EQ(SettingValueText(setting, loaded), setting.name + "-" + std::to_string(n));
        }
        ++n;
    }
    EXPECT_EQ(loaded.filter.rescode_success, 0);
    EXPECT_EQ(loaded.filter.rescode_server_error, 0);
}

TEST_F(SettingsPersistenceTest, EachResponseCodeFlagIsItsOwnValue) {
    for (const char* off : {"rescode_client_error", "rescode_info", "rescode_other",
                            "rescode_redirect", "rescode_server_error", "rescode_success"}) {
        Run([&](Options& options) {
            for (const char* name :
                 {"rescode_client_error", "rescode_info", "rescode_other", "rescode_redirect",
                  "rescode_server_error", "rescode_success"}) {
                SetSettingFromText(*FindSettingField(name), options,
                                   std::string_view(name) == off ? "0" : "1");
            }
        });
        Options loaded = Loaded();
        for (const char* name : {"rescode_client_error", "rescode_info", "rescode_other",
                                 "rescode_redirect", "rescode_server_error", "rescode_success"}) {
            EXPECT_EQ(SettingValueText(*FindSettingField(name), loaded),
                      std::string_view(name) == off ? "0" : "1")
                << "with " << off << " off, " << name;
        }
    }
}

TEST_F(SettingsPersistenceTest, RunCountGrowsByOneWithEverySave) {
    EXPECT_EQ(Run().runCount, 1);
    EXPECT_EQ(Run().runCount, 2);
    EXPECT_EQ(Loaded().runCount, 2);
}

TEST_F(SettingsPersistenceTest, StoredValuesAreTakenAsTheyAreWithoutRangeChecks) {
    {
        SettingsStore store(file);
        const std::string key = std::string(kApplicationKey);
        store.WriteDword(key + "\\Preferences", "max_req_size", 100000);
        store.WriteDword(key + "\\Preferences", "scan_req_body", 7);
        store.WriteDword(key + "\\FilterSettings", "content_app", 5);
        store.WriteString(key + "\\Preferences", "max_res_size", "not a number");
        store.WriteString(key + "\\FilterSettings", "host_text", "  shop  test ");
        store.WriteString(key + "\\Setup", "ProgramFolder", "/opt/vantor/help/");
        store.Flush();
    }
    Options loaded = Run();
    EXPECT_EQ(loaded.preferences.max_req_size, 100000);
    EXPECT_TRUE(loaded.preferences.scan_req_body);
    EXPECT_EQ(loaded.filter.content_app, 5);
    EXPECT_EQ(loaded.preferences.max_res_size, 256) << "a value of the wrong type";
    EXPECT_THAT(loaded.filter.m_hostWords, ElementsAre("shop", "test"));
    EXPECT_EQ(loaded.helpFolder, "/opt/vantor/help/");

    SettingsStore store(file);
    const std::string key = std::string(kApplicationKey);
    EXPECT_EQ(store.ReadDword(key + "\\Preferences", "scan_req_body"), 1u) << "8-bit: 0 or 1";
    EXPECT_EQ(store.ReadDword(key + "\\FilterSettings", "content_app"), 5u) << "as held";
    EXPECT_EQ(store.ReadString(key + "\\Setup", "ProgramFolder"), "/opt/vantor/help/");
}

TEST_F(SettingsPersistenceTest, HelpFolderIsNeverWritten) {
    Run([](Options& options) { options.helpFolder = "/somewhere/"; });
    SettingsStore store(file);
    EXPECT_FALSE(store.KeyExists(std::string(kApplicationKey) + "\\Setup"));
}

TEST_F(SettingsPersistenceTest, ADamagedStoreGivesTheDefaults) {
    std::ofstream(file, std::ios::binary) << "\x7f\x45\x4c\x46 not a settings file [[[\n\"x\"=";
    const Options loaded = Loaded();
    EXPECT_EQ(loaded.preferences.max_req_size, 256);
    EXPECT_EQ(loaded.runCount, 0);
}

TEST_F(SettingsPersistenceTest, TextValuesAreSetAndShownByName) {
    Options options;
    EXPECT_TRUE(SetSettingFromText(*FindSettingField("max_req_size"), options, "-5"));
    EXPECT_EQ(options.preferences.max_req_size, -5);
    EXPECT_FALSE(SetSettingFromText(*FindSettingField("max_req_size"), options, "12kb"));
    EXPECT_TRUE(SetSettingFromText(*FindSettingField("scan_res_body"), options, "false"));
    EXPECT_FALSE(options.preferences.scan_res_body);
    EXPECT_FALSE(SetSettingFromText(*FindSettingField("scan_res_body"), options, "yes"));
    EXPECT_EQ(FindSettingField("run_count"), nullptr);
    EXPECT_EQ(FindSettingField("HistoryHosts9")->section, "FilterSettings");
    EXPECT_EQ(SettingFields().size(), 14u + 13u + 10u + 11u + 20u);
}

TEST_F(SettingsPersistenceTest, RecentFilesAreKeptNewestFirst) {
    {
        SettingsStore store(file);
        Profile profile(store, std::string(kApplicationKey));
        StandardProfileSettings standard;
        for (const char* path : {"/a.vtr", "/b.vtr", "/c.vtr", "/d.vtr", "/e.vtr", "/c.vtr"}) {
            standard.recentFiles.Add(path);
        }
        standard.Save(profile);
        profile.Flush();
    }
    SettingsStore store(file);
    const Profile profile(store, std::string(kApplicationKey));
    StandardProfileSettings standard;
    standard.Load(profile);
    EXPECT_THAT(standard.recentFiles.entries(),
                ElementsAre("/c.vtr", "/e.vtr", "/d.vtr", "/b.vtr"));
    EXPECT_EQ(store.ReadString(std::string(kApplicationKey) + "\\Recent File List", "File1"),
              "/c.vtr");
    EXPECT_FALSE(store.KeyExists(std::string(kApplicationKey) + "\\Settings"))
        << "PreviewPages only when nonzero";
}

}  // namespace
}  // namespace vantor
