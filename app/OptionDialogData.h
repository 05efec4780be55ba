#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace vantor {

struct AppPreferences;
struct FilterOptions;
struct FindOptions;

// The dialogs' titles, the framework's data-exchange messages, and the help topics.
inline constexpr std::string_view kTextEnterInteger = "Please enter an integer.";
inline constexpr std::string_view kTextEnterIntegerBetween =
    "Please enter an integer between %1 and %2.";
inline constexpr std::string_view kHelpCaptureOptions = "vantor.chm::/dlg_cap.htm";
inline constexpr std::string_view kHelpViewOptions = "vantor.chm::/dlg_view.htm";
inline constexpr std::string_view kHelpFilter = "vantor.chm::/dlg_fltr.htm";
inline constexpr std::string_view kHelpFindMessage = "vantor.chm::/dlg_find.htm";
inline constexpr std::string_view kHelpContents = "vantor.chm";
inline constexpr std::string_view kHelpHttp = "httphelp.chm";
inline constexpr std::int32_t kMinimumSizeLimit = 1;
inline constexpr std::int32_t kMaximumSizeLimit = 8000;

// A number typed into an edit field, read as the framework's data exchange reads it: spaces
// around it, an optional sign, decimal digits and nothing else, within a 32-bit integer. The
// value, or the message to show.
std::variant<std::int32_t, std::string> ReadIntegerField(std::string_view text,
                                                         std::int32_t minimum,
                                                         std::int32_t maximum);

// The Capture Options dialog's fields, in the order of data exchange.
struct CaptureOptionsFields {
    std::int32_t requestBody = 0;
    std::int32_t responseBody = 0;
    std::string requestLimit;  // the edit fields' texts
    std::string responseLimit;
    std::int32_t wholeWord = 0;
    std::string allowedContent;
    std::string keyLog;  // a key log file to decrypt TLS with; empty for none

    static CaptureOptionsFields FromOptions(const AppPreferences& preferences);

    // Which size field failed, and its message.
    enum class Field { RequestLimit, ResponseLimit, KeyLog };
    struct Failure {
        Field field;
        std::string message;
    };
    // OK: checks the size fields in exchange order, then that a key log, if one is named, can
    // be read and no other user can read it; commits everything, and rebuilds the allowed
    // content list, only when all are good.
    std::optional<Failure> Commit(AppPreferences& preferences) const;
};

struct ViewOptionsFields {
    std::int32_t showRequestBody = 0;
    std::int32_t showResponseBody = 0;
    std::int32_t order = 0;

    static ViewOptionsFields FromOptions(const AppPreferences& preferences);
};

struct FilterFields {
    std::int32_t hostEnabled = 0;
    std::int32_t contentApplication = 0;
    std::int32_t contentAudioVideo = 0;
    std::int32_t contentImage = 0;
    std::int32_t contentText = 0;
    std::int32_t contentWithout = 0;
    std::int32_t contentOther = 0;
    std::string hostText;
    std::int32_t clientError = 0;
    std::int32_t informational = 0;
    std::int32_t otherCode = 0;
    std::int32_t redirection = 0;
    std::int32_t serverError = 0;
    std::int32_t success = 0;

    static FilterFields FromOptions(const FilterOptions& filter);
    // OK: copies every field, rebuilds the host words when the host test is on and has a text,
    // and puts the host text in the history.
    void Commit(FilterOptions& filter) const;
};

struct FindMessageFields {
    std::string text;
    std::int32_t inRequests = 0;
    std::int32_t inResponses = 0;
    std::int32_t matchCase = 0;
    std::int32_t wholeWord = 0;
    std::int32_t direction = 1;  // 0 up, 1 down

    static FindMessageFields FromOptions(const FindOptions& find);
    // OK: stores the options and puts the text in the history.
    void Commit(FindOptions& find) const;
};

}  // namespace vantor
