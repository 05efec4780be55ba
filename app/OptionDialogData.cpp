#include "app/OptionDialogData.h"

#include <charconv>

#include "capture/KeyLogFiles.h"
#include "framework/FileErrors.h"
#include "options/AppPreferences.h"
#include "options/FilterOptions.h"
#include "options/FindOptions.h"

namespace vantor {

namespace {

std::int32_t Checked(bool value) {
    return value ? 1 : 0;
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

}  // namespace

std::variant<std::int32_t, std::string> ReadIntegerField(std::string_view text,
                                                         std::int32_t minimum,
                                                         std::int32_t maximum) {
    while (!text.empty() && IsSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsSpace(text.back())) {
        text.remove_suffix(1);
    }
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    std::int32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::string(kTextEnterInteger);
    }
    if (value < minimum || value > maximum) {
        std::string message = FormatMessageText(kTextEnterIntegerBetween, std::to_string(minimum));
        const std::size_t place = message.find("%2");
        message.replace(place, 2, std::to_string(maximum));
        return message;
    }
    return value;
}

CaptureOptionsFields CaptureOptionsFields::FromOptions(const AppPreferences& preferences) {
    CaptureOptionsFields fields;
    fields.requestBody = Checked(preferences.scan_req_body);
    fields.responseBody = Checked(preferences.scan_res_body);
    fields.requestLimit = std::to_string(preferences.max_req_size);
    fields.responseLimit = std::to_string(preferences.max_res_size);
    fields.wholeWord = preferences.whole_word_content;
    fields.allowedContent = preferences.allowed_content;
    fields.keyLog = preferences.tls_key_log;
    return fields;
}

std::optional<CaptureOptionsFields::Failure> CaptureOptionsFields::Commit(
    AppPreferences& preferences) const {
    const auto requestLimitValue =
        ReadIntegerField(requestLimit, kMinimumSizeLimit, kMaximumSizeLimit);
    if (const auto* message = std::get_if<std::string>(&requestLimitValue)) {
        return Failure{Field::RequestLimit, *message};
    }
    const auto responseLimitValue =
        ReadIntegerField(responseLimit, kMinimumSizeLimit, kMaximumSizeLimit);
    if (const auto* message = std::get_if<std::string>(&responseLimitValue)) {
        return Failure{Field::ResponseLimit, *message};
    }
    if (!keyLog.empty()) {
        if (const auto refused = KeyLogFiles().Add(keyLog)) {
            return Failure{Field::KeyLog, *refused};
        }
    }
    preferences.tls_key_log = keyLog;
    preferences.max_req_size = std::get<std::int32_t>(requestLimitValue);
    preferences.max_res_size = std::get<std::int32_t>(responseLimitValue);
    preferences.scan_req_body = requestBody != 0;
    preferences.scan_res_body = responseBody != 0;
    preferences.allowed_content = allowedContent;
    preferences.whole_word_content = wholeWord;
    preferences.ParseContentTypes();
    return std::nullopt;
}

ViewOptionsFields ViewOptionsFields::FromOptions(const AppPreferences& preferences) {
    return ViewOptionsFields{Checked(preferences.show_req_body), Checked(preferences.show_res_body),
                             preferences.view_order};
}

FilterFields FilterFields::FromOptions(const FilterOptions& filter) {
    FilterFields fields;
    fields.hostEnabled = filter.m_bHostEnabled;
    fields.contentApplication = filter.content_app;
    fields.contentAudioVideo = filter.content_audio;
    fields.contentImage = filter.content_image;
    fields.contentText = filter.content_text;
    fields.contentWithout = filter.content_without;
    fields.contentOther = filter.content_other;
    fields.hostText = filter.m_hostText;
    fields.clientError = filter.rescode_client_error;
    fields.informational = filter.rescode_info;
    fields.otherCode = filter.rescode_other;
    fields.redirection = filter.rescode_redirect;
    fields.serverError = filter.rescode_server_error;
    fields.success = filter.rescode_success;
    return fields;
}

void FilterFields::Commit(FilterOptions& filter) const {
    filter.m_bHostEnabled = hostEnabled;
    filter.content_app = contentApplication;
    filter.content_audio = contentAudioVideo;
    filter.content_image = contentImage;
    filter.content_text = contentText;
    filter.content_without = contentWithout;
    filter.content_other = contentOther;
    filter.m_hostText = hostText;
    filter.rescode_client_error = clientError;
    filter.rescode_info = informational;
    filter.rescode_other = otherCode;
    filter.rescode_redirect = redirection;
    filter.rescode_server_error = serverError;
    filter.rescode_success = success;
    if (filter.m_bHostEnabled != 0 && !filter.m_hostText.empty()) {
        filter.SplitHostWords();
    }
    filter.hostHistory.Add(hostText);
}

FindMessageFields FindMessageFields::FromOptions(const FindOptions& find) {
    return FindMessageFields{find.text,
                             Checked(find.inRequests),
                             Checked(find.inResponses),
                             Checked(find.matchCase),
                             Checked(find.wholeWord),
                             find.direction};
}

void FindMessageFields::Commit(FindOptions& find) const {
    find.text = text;
    find.inRequests = inRequests != 0;
    find.inResponses = inResponses != 0;
    find.matchCase = matchCase != 0;
    find.wholeWord = wholeWord != 0;
    find.direction = direction;
    find.history.Add(text);
}

}  // namespace vantor
