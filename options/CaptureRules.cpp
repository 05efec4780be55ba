#include "options/CaptureRules.h"

#include <algorithm>

#include "options/AppPreferences.h"

namespace vantor {

CaptureRules CaptureRules::From(const AppPreferences& preferences) {
    CaptureRules rules;
    rules.requestBodies = preferences.scan_req_body;
    rules.responseBodies = preferences.scan_res_body;
    rules.maxRequestKB = preferences.max_req_size;
    rules.maxResponseKB = preferences.max_res_size;
    rules.allowedContentList = preferences.allowedContentList;
    rules.wholeWordContent = preferences.whole_word_content != 0;
    rules.allowWithoutContentType = preferences.allowWithoutContentType;
    return rules;
}

const DefaultContentRules& DefaultContent() {
    static const DefaultContentRules content = [] {
        AppPreferences preferences;
        preferences.ParseContentTypes();
        return DefaultContentRules{preferences.allowedContentList,
                                   preferences.allowWithoutContentType};
    }();
    return content;
}

const CaptureRules& CaptureRules::Defaults() {
    static const CaptureRules defaults;
    return defaults;
}

bool CaptureRules::KeepsBodyOf(std::optional<std::string_view> contentType) const {
    if (allowWithoutContentType && (!contentType || contentType->empty())) {
        return true;
    }
    if (!contentType) {
        return false;
    }
    const auto& words = allowedContentList;
    if (wholeWordContent) {
        return std::find(words.begin(), words.end(), *contentType) != words.end();
    }
    return std::any_of(words.begin(), words.end(), [&](const std::string& word) {
        return contentType->find(word) != std::string_view::npos;
    });
}

}  // namespace vantor
