#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantor {

struct AppPreferences;

// The default preferences' content list, parsed.
struct DefaultContentRules {
    std::vector<std::string> allowedContentList;
    bool allowWithoutContentType = false;
};
const DefaultContentRules& DefaultContent();

// What capture keeps of each message, as a value handed to the document (and by it to each
// message it grows): whether bodies are kept at all, the size limits, and which Content-Types
// keep theirs. Taken from the preferences whenever they change.
struct CaptureRules {
    bool requestBodies = true;
    bool responseBodies = true;
    std::int32_t maxRequestKB = 256;  // kilobytes, as the registry holds them
    std::int32_t maxResponseKB = 256;
    // The lower-cased Content-Type patterns whose bodies are kept, whole values or parts of
    // them, and whether a message without a Content-Type keeps its body (by default, those of
    // the default preferences).
    std::vector<std::string> allowedContentList = DefaultContent().allowedContentList;
    bool wholeWordContent = false;
    bool allowWithoutContentType = DefaultContent().allowWithoutContentType;

    // The rules of the preferences (their content list parsed).
    static CaptureRules From(const AppPreferences& preferences);
    // The rules of the default preferences: those of a CaptureRules made without values.
    static const CaptureRules& Defaults();

    // Whether a message whose header has just completed with this Content-Type (nothing: no
    // such field) keeps its body.
    bool KeepsBodyOf(std::optional<std::string_view> contentType) const;
};

}  // namespace vantor
