#include "http/MessageTypes.h"

#include <array>

namespace vantor {

std::string_view AssemblyStateName(AssemblyState state) {
    static constexpr std::array<std::string_view, 6> kNames = {
        "New", "ReadingHeader", "ReadingBody", "BodyFiltered", "TooLarge", "BodyOff"};
    const auto index = static_cast<std::uint32_t>(state);
    return index < kNames.size() ? kNames[index] : std::string_view{};
}

std::string_view ContentClassName(ContentClass contentClass) {
    static constexpr std::array<std::string_view, 6> kNames = {
        "Application", "Text", "AudioVideo", "Image", "Other", "WithoutContent"};
    const auto index = static_cast<std::uint32_t>(contentClass);
    return index < kNames.size() ? kNames[index] : std::string_view{};
}

}  // namespace vantor
