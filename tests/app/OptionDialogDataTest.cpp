#include "app/OptionDialogData.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "TempDirectory.h"
#include "TestSupport.h"
#include "options/Options.h"

namespace vantor {
namespace {

using test::ScopedDefaultOptions;

TEST(ReadIntegerFieldTest, ReadsAsTheDataExchangeDoes) {
    struct Case {
        std::string_view text;
        std::variant<std::int32_t, std::string> expected;
    };
    const std::string between = "Please enter an integer between 1 and 8000.";
    const std::string integer = "Please enter an integer.";
    const Case cases[] = {
        {"1", 1},          {"8000", 8000},    {" 256 ", 256},   {"+12", 12},
        {"0", between},    {"8001", between}, {"-5", between},  {"", integer},
        {"   ", integer},  {"12a", integer},  {"1 2", integer}, {"99999999999", integer},
        {"0x10", integer}, {"--1", integer},  {"+", integer},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ReadIntegerField(c.text, 1, 8000), c.expected) << "'" << c.text << "'";
    }
}

TEST(CaptureOptionsFieldsTest, ABadSizeCommitsNothingAndNamesTheFirstBadField) {
    ScopedDefaultOptions defaults;
    AppPreferences& preferences = Preferences();
    CaptureOptionsFields fields = CaptureOptionsFields::FromOptions(preferences);
    EXPECT_EQ(fields.requestLimit, "256");
    EXPECT_EQ(fields.requestBody, 1);
    fields.requestBody = 0;
    fields.allowedContent = R"("image/")";
    fields.requestLimit = "0";
    fields.responseLimit = "x";
    auto failure = fields.Commit(preferences);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->field, CaptureOptionsFields::Field::RequestLimit);
    EXPECT_EQ(failure->message, "Please enter an integer between 1 and 8000.");
    fields.requestLimit = "8000";
    failure = fields.Commit(preferences);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->field, CaptureOptionsFields::Field::ResponseLimit);
    EXPECT_EQ(failure->message, "Please enter an integer.");
    EXPECT_TRUE(preferences.scan_req_body);
    EXPECT_EQ(preferences.max_req_size, 256);
    EXPECT_EQ(preferences.allowed_content, kDefaultAllowedContent);

    fields.responseLimit = "1";
    // A key log others could read is refused too, and nothing committed.
    const test::TempDirectory folder;
    const auto keyLog = folder / "keys.log";
    std::ofstream(keyLog).close();
    std::filesystem::permissions(keyLog, std::filesystem::perms::owner_read |
                                             std::filesystem::perms::owner_write |
                                             std::filesystem::perms::others_read);
    fields.keyLog = keyLog.string();
    failure = fields.Commit(preferences);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->field, CaptureOptionsFields::Field::KeyLog);
    EXPECT_EQ(failure->message,
              "the key log " + keyLog.string() +
                  " can be read or written by other users: refused (chmod 600 it)");
    EXPECT_EQ(preferences.max_req_size, 256);
    std::filesystem::permissions(keyLog, std::filesystem::perms::others_read,
                                 std::filesystem::perm_options::remove);
    EXPECT_FALSE(fields.Commit(preferences));
    EXPECT_EQ(preferences.tls_key_log, keyLog.string());
    EXPECT_FALSE(preferences.scan_req_body);
    EXPECT_EQ(preferences.max_req_size, 8000);
    EXPECT_EQ(preferences.max_res_size, 1);
    EXPECT_EQ(preferences.allowedContentList, std::vector<std::string>{"image/"});
}

TEST(FilterFieldsTest, OkCopiesEverythingSplitsHostsAndKeepsTheHistory) {
    ScopedDefaultOptions defaults;
    FilterOptions& filter = Filter();
    for (int i = 9; i >= 0; --i) {
        filter.hostHistory.Add("host" + std::to_string(i));
    }
    FilterFields fields = FilterFields::FromOptions(filter);
    fields.hostEnabled = 1;
    fields.hostText = "host3";
    fields.contentImage = 0;
    fields.serverError = 0;
    fields.Commit(filter);
    EXPECT_EQ(filter.m_bHostEnabled, 1);
    EXPECT_EQ(filter.content_image, 0);
    EXPECT_EQ(filter.rescode_server_error, 0);
    EXPECT_EQ(filter.rescode_success, 1);
    EXPECT_EQ(filter.m_hostWords, std::vector<std::string>{"host3"});
    EXPECT_EQ(filter.hostHistory[0], "host0") << "a text already held keeps the order";
    EXPECT_EQ(filter.hostHistory[3], "host3");

    fields.hostText = "  a.test   b.test ";
    fields.Commit(filter);
    EXPECT_EQ(filter.m_hostWords, (std::vector<std::string>{"a.test", "b.test"}));
    EXPECT_EQ(filter.hostHistory[0], fields.hostText);
    EXPECT_EQ(filter.hostHistory[9], "host8") << "the oldest went";

    // With the host test off the words are left as they were.
    fields.hostEnabled = 0;
    fields.hostText = "c.test";
    fields.Commit(filter);
    EXPECT_EQ(filter.m_hostWords, (std::vector<std::string>{"a.test", "b.test"}));
    EXPECT_EQ(filter.m_hostText, "c.test");
}

TEST(FindMessageFieldsTest, OkStoresTheOptionsAndTheText) {
    ScopedDefaultOptions defaults;
    FindOptions& find = FindSettings();
    FindMessageFields fields = FindMessageFields::FromOptions(find);
    EXPECT_EQ(fields.inRequests, 1);
    EXPECT_EQ(fields.inResponses, 1);
    EXPECT_EQ(fields.matchCase, 0);
    EXPECT_EQ(fields.direction, 1);
    fields.text = "Content-Type";
    fields.inRequests = 0;
    fields.matchCase = 1;
    fields.direction = 0;
    fields.Commit(find);
    EXPECT_EQ(find.text, "Content-Type");
    EXPECT_FALSE(find.inRequests);
    EXPECT_TRUE(find.matchCase);
    EXPECT_EQ(find.direction, 0);
    EXPECT_EQ(find.history[0], "Content-Type");
    fields.text.clear();
    fields.Commit(find);
    EXPECT_EQ(find.text, "");
    EXPECT_EQ(find.history[0], "Content-Type") << "an empty text is not remembered";
}

}  // namespace
}  // namespace vantor
