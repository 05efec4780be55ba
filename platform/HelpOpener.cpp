#include "platform/HelpOpener.h"

#include <string_view>

namespace vantor {

namespace {

constexpr std::string_view kFileEnd = ".chm";
constexpr std::string_view kPageSeparator = "::/";

}  // namespace

bool HelpOpener::HelpFileExists(const std::string& topic) {
    std::string_view file = topic;
    file = file.substr(0, file.find(kPageSeparator));
    if (!file.ends_with(kFileEnd)) {
        return false;
    }
    file.remove_suffix(kFileEnd.size());
    std::error_code error;
    return std::filesystem::is_directory(std::string(file), error);
}

std::optional<std::filesystem::path> HelpOpener::ResolveTopic(const std::string& topic) {
    std::string_view text = topic;
    std::string_view page = "index.htm";
    if (const std::size_t separator = text.find(kPageSeparator);
        separator != std::string_view::npos) {
        page = text.substr(separator + kPageSeparator.size());
        text = text.substr(0, separator);
    }
    if (!text.ends_with(kFileEnd) || page.empty() || page.find("..") != std::string_view::npos ||
        page.find('/') != std::string_view::npos) {
        return std::nullopt;
    }
    text.remove_suffix(kFileEnd.size());
    std::filesystem::path file = std::filesystem::path(std::string(text)) / std::string(page);
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error)) {
        return std::nullopt;
    }
    return file;
}

}  // namespace vantor
