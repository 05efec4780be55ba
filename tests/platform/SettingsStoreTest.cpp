#include "platform/SettingsStore.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "ScopedEnvironment.h"
#include "TempDirectory.h"

namespace vantor {
namespace {

using testing::HasSubstr;

std::string ReadFile(const std::filesystem::path& file) {
    std::ifstream input(file, std::ios::binary);
    std::ostringstream text;
    text << input.rdbuf();
    return text.str();
}

void WriteFile(const std::filesystem::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}

class SettingsStoreTest : public testing::Test {
protected:
    test::TempDirectory directory;
    std::filesystem::path file = directory / "sub" / "store.reg";
};

TEST_F(SettingsStoreTest, ValuesSurviveAFlushAndAFreshStore) {
    {
        SettingsStore store(file);
        store.WriteDword("Software\\Orvane\\Vantor\\Preferences", "max_req_size", 8000);
        store.WriteString("Software\\Orvane\\Vantor\\Preferences", "allowed_content",
                          "\"\" \"text/\"\tline\nbreak \\ \x01 caf\xC3\xA9");
        store.WriteDword("Software\\Orvane\\Vantor\\FilterSettings", "content_app", 0xFFFFFFFF);
        store.WriteString("Software\\Orvane\\Vantor\\FindSettings", "text", "");
        ASSERT_TRUE(store.Flush());
    }
    SettingsStore store(file);
    EXPECT_EQ(store.ReadDword("Software\\Orvane\\Vantor\\Preferences", "max_req_size"), 8000u);
    EXPECT_EQ(store.ReadString("Software\\Orvane\\Vantor\\Preferences", "allowed_content"),
              "\"\" \"text/\"\tline\nbreak \\ \x01 caf\xC3\xA9");
    EXPECT_EQ(store.ReadDword("Software\\Orvane\\Vantor\\FilterSettings", "content_app"),
              0xFFFFFFFFu);
    EXPECT_EQ(store.ReadString("Software\\Orvane\\Vantor\\FindSettings", "text"), "");
    EXPECT_THAT(ReadFile(file), HasSubstr("[Software\\Orvane\\Vantor\\Preferences]\n"
                                          "\"allowed_content\"="));
    EXPECT_THAT(ReadFile(file), HasSubstr("\"max_req_size\"=dword:00001f40\n"));
}

TEST_F(SettingsStoreTest, NamesIgnoreCaseAndKeepTheirSpelling) {
    SettingsStore store(file);
    store.WriteDword("Software\\Orvane\\Vantor\\Setup", "ProgramFolder", 1);
    EXPECT_EQ(store.ReadDword("SOFTWARE\\orvane\\VANTOR\\setup", "programfolder"), 1u);
    store.WriteDword("software\\ORVANE\\vantor\\SETUP", "PROGRAMFOLDER", 2);
    EXPECT_EQ(store.EnumSubkey("Software\\Orvane\\Vantor", 0), "Setup");
    EXPECT_THAT(store.Format(), HasSubstr("\"PROGRAMFOLDER\"=dword:00000002"));
}

TEST_F(SettingsStoreTest, TypesDoNotMix) {
    SettingsStore store(file);
    store.WriteString("K", "v", "12");
    EXPECT_EQ(store.ReadDword("K", "v"), std::nullopt);
    store.WriteDword("K", "v", 12);
    EXPECT_EQ(store.ReadString("K", "v"), std::nullopt);
    EXPECT_EQ(store.ReadDword("K", "missing"), std::nullopt);
    EXPECT_EQ(store.ReadDword("Missing\\Key", "v"), std::nullopt);
}

TEST_F(SettingsStoreTest, KeysAreCreatedEnumeratedAndDeletedWithTheirSubkeys) {
    SettingsStore store(file);
    store.CreateKey("SOFTWARE\\WinSock2\\VANTOR\\Chains\\b");
    store.CreateKey("SOFTWARE\\WinSock2\\VANTOR\\Chains\\a");
    store.WriteDword("SOFTWARE\\WinSock2\\VANTOR", "Layered", 1);
    EXPECT_TRUE(store.KeyExists("SOFTWARE\\WinSock2"));
    EXPECT_EQ(store.EnumSubkey("SOFTWARE\\WinSock2\\VANTOR\\Chains", 0), "a");
    EXPECT_EQ(store.EnumSubkey("SOFTWARE\\WinSock2\\VANTOR\\Chains", 1), "b");
    EXPECT_EQ(store.EnumSubkey("SOFTWARE\\WinSock2\\VANTOR\\Chains", 2), std::nullopt);

    EXPECT_TRUE(store.DeleteKey("SOFTWARE\\WinSock2\\VANTOR"));
    EXPECT_FALSE(store.KeyExists("SOFTWARE\\WinSock2\\VANTOR\\Chains\\a"));
    EXPECT_TRUE(store.KeyExists("SOFTWARE\\WinSock2"));
    EXPECT_FALSE(store.DeleteKey("SOFTWARE\\WinSock2\\VANTOR"));
    ASSERT_TRUE(store.Flush());
    EXPECT_FALSE(SettingsStore(file).KeyExists("SOFTWARE\\WinSock2\\VANTOR"));
    EXPECT_TRUE(SettingsStore(file).KeyExists("SOFTWARE\\WinSock2"));
}

TEST_F(SettingsStoreTest, AMissingOrDamagedFileGivesWhatCanBeRead) {
    EXPECT_FALSE(SettingsStore(file).KeyExists("Software"));

    std::filesystem::create_directories(file.parent_path());
    using namespace std::string_literals;
    WriteFile(file,
              "garbage before any key\n"
              "\"orphan\"=dword:00000001\n"
              "[Software\\Good]\n"
              "\"number\"=dword:0000000a\n"
              "\"short\"=dword:12\n"
              "\"text\"=\"unterminated\n"
              "\"escape\"=\"bad \\q\"\n"
              "\"trailing\"=\"x\" junk\n"
              "no equals sign\n"
              "[Broken\n"
              "\"lost\"=dword:00000001\n"
              "\"kept\"=\"yes\"\n"
              "\xff\xfe\x00\x01 binary\n"
              "[Software\\Good]\n"
              "\"again\"=\"here\"\n"s);
    SettingsStore store(file);
    EXPECT_EQ(store.ReadDword("Software\\Good", "number"), 10u);
    EXPECT_EQ(store.ReadString("Software\\Good", "again"), "here");
    for (const char* name : {"short", "text", "escape", "trailing", "lost", "kept", "orphan"}) {
        EXPECT_EQ(store.ReadString("Software\\Good", name), std::nullopt) << name;
        EXPECT_EQ(store.ReadDword("Software\\Good", name), std::nullopt) << name;
    }
}

TEST_F(SettingsStoreTest, FlushReplacesTheFileWholeAndOnlyWhenSomethingChanged) {
    SettingsStore store(file);
    EXPECT_TRUE(store.Flush());
    EXPECT_FALSE(std::filesystem::exists(file)) << "nothing to write";
    store.WriteDword("K", "v", 1);
    ASSERT_TRUE(store.Flush());
    const auto written = std::filesystem::last_write_time(file);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(file.parent_path()),
                            std::filesystem::directory_iterator()),
              1)
        << "no temporary file left behind";
    EXPECT_TRUE(store.Flush());
    EXPECT_EQ(std::filesystem::last_write_time(file), written);
}

TEST_F(SettingsStoreTest, FailedFlushKeepsTheValuesAndReportsIt) {
    std::filesystem::create_directories(directory / "blocked");
    SettingsStore store(directory / "blocked");  // a directory cannot be replaced by a file
    store.WriteDword("K", "v", 1);
    EXPECT_FALSE(store.Flush());
    EXPECT_EQ(store.ReadDword("K", "v"), 1u);
}

TEST_F(SettingsStoreTest, ReadingAFileNeverWritesItBack) {
    std::filesystem::create_directories(file.parent_path());
    const std::string text = "; kept as the user wrote it\n[A\\B]\n\"v\"=dword:00000001\n[C]\n";
    WriteFile(file, text);
    SettingsStore store(file);
    EXPECT_EQ(store.ReadDword("A\\B", "v"), 1u);
    EXPECT_TRUE(store.Flush());
    EXPECT_EQ(ReadFile(file), text);
}

TEST_F(SettingsStoreTest, KeysTooDeepOrTooLongInAFileAreIgnored) {
    std::filesystem::create_directories(file.parent_path());
    auto path = [](std::size_t depth, const std::string& name) {
        std::string joined = name;
        for (std::size_t i = 1; i < depth; ++i) {
            joined += "\\" + name;
        }
        return joined;
    };
    WriteFile(file, "[" + path(64, "k") + "]\n\"deep\"=dword:00000001\n" +  //
                        "[" + path(65, "k") + "]\n\"deeper\"=dword:00000001\n" + "[" +
                        std::string(255, 'n') + "]\n\"long\"=dword:00000001\n" + "[" +
                        std::string(256, 'n') + "]\n\"longer\"=dword:00000001\n" + "[V]\n\"" +
                        std::string(16'384, 'v') + "\"=dword:00000001\n");
    SettingsStore store(file);
    EXPECT_EQ(store.ReadDword(path(64, "k"), "deep"), 1u);
    EXPECT_FALSE(store.KeyExists(path(65, "k")));
    EXPECT_EQ(store.ReadDword(std::string(255, 'n'), "long"), 1u);
    EXPECT_FALSE(store.KeyExists(std::string(256, 'n')));
    EXPECT_EQ(store.EnumSubkey("V", 0), std::nullopt);
    EXPECT_EQ(store.ReadDword("V", std::string(16'384, 'v')), std::nullopt);
}

// Files made to hurt: 300,000 nested names on one line; 20,000 keys spelled out level by level;
// more keys than a store ever holds. Nothing overflows the stack, memory and the text written
// stay near the file's size, and what the program writes is kept.
TEST_F(SettingsStoreTest, AHostileFileCostsLittleAndWritesBackLittle) {
    std::filesystem::create_directories(file.parent_path());
    std::string hostile = "[";
    for (int i = 0; i < 300'000; ++i) {
        hostile += "a\\";
    }
    hostile += "]\n\"x\"=dword:00000001\n";
    std::string levels = "b";
    for (int i = 0; i < 100; ++i) {
        levels += "\\b";
    }
    for (int i = 0; i < 20'000; ++i) {
        hostile += "[" + levels.substr(0, 2 * static_cast<std::size_t>(i % 80) + 1) + "]\n";
    }
    WriteFile(file, hostile);
    {
        SettingsStore store(file);
        EXPECT_FALSE(store.KeyExists("a\\a"));
        EXPECT_TRUE(store.KeyExists("b\\b\\b"));
        store.WriteDword("Software\\Orvane", "kept", 1);
        EXPECT_LT(store.Format().size(), hostile.size());
        ASSERT_TRUE(store.Flush());
    }
    EXPECT_EQ(SettingsStore(file).ReadDword("Software\\Orvane", "kept"), 1u);

    for (int i = 0; i < 70'000; ++i) {
        hostile += "[many\\" + std::to_string(i) + "]\n";
    }
    WriteFile(file, hostile);
    {
        SettingsStore store(file);
        EXPECT_FALSE(store.KeyExists("b")) << "damaged as a whole: the defaults";
        store.WriteDword("Software\\Orvane", "kept", 2);
        ASSERT_TRUE(store.Flush());
    }
    SettingsStore reread(file);
    EXPECT_EQ(reread.ReadDword("Software\\Orvane", "kept"), 2u);
    EXPECT_LT(ReadFile(file).size(), 1000u);
}

TEST_F(SettingsStoreTest, DeepTreesMadeByTheProgramAreWrittenAndDestroyedWithoutRecursion) {
    std::string path = "k";
    for (int i = 0; i < 100'000; ++i) {
        path += "\\k";
    }
    auto store = std::make_unique<SettingsStore>(file);
    store->CreateKey(path);
    store->WriteDword("k\\k", "v", 7);
    // Only the deepest key and the one with a value stand in the text: the rest are implied.
    const std::string text = store->Format();
    EXPECT_LT(text.size(), 3 * path.size());
    EXPECT_THAT(text, HasSubstr("\n[k\\k]\n\"v\"=dword:00000007\n"));
    EXPECT_TRUE(store->DeleteKey("k\\k\\k"));
    EXPECT_TRUE(store->KeyExists("k\\k"));
    store->CreateKey(path);
    store.reset();
}

TEST(SettingsStoreLocationTest, RootsFollowTheXdgDirectories) {
    test::ScopedEnvironment environment;
    environment.Set("XDG_CONFIG_HOME", "/x/config");
    environment.Set("XDG_STATE_HOME", "/x/state");
    EXPECT_EQ(SettingsStore::CurrentUserFile(), "/x/config/Orvane/current-user.reg");
    EXPECT_EQ(SettingsStore::LocalMachineFile(), "/x/state/vantor/local-machine.reg");
    environment.Set("XDG_CONFIG_HOME", "relative/is/ignored");
    environment.Set("HOME", "/home/someone");
    EXPECT_EQ(SettingsStore::CurrentUserFile(), "/home/someone/.config/Orvane/current-user.reg");
}

}  // namespace
}  // namespace vantor
