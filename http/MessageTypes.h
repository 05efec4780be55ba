#pragma once

#include <cstdint>
#include <string_view>

namespace vantor {

enum class MessageKind : std::uint8_t { Request = 0, Response = 1 };

// How far a message has been assembled. The numbers are stored in document files, which may
// hold any value; names are known only for these six.
enum class AssemblyState : std::int32_t {
    New = 0,
    ReadingHeader = 1,
    ReadingBody = 2,
    BodyFiltered = 3,
    TooLarge = 4,
    BodyOff = 5,
};

// The class of a response's content, tested by the filter. Stored in document files.
enum class ContentClass : std::int32_t {
    Application = 0,
    Text = 1,
    AudioVideo = 2,
    Image = 3,
    Other = 4,
    WithoutContent = 5,
};

// Indexes into the message tree's image strip.
enum TreeImage : int {
    kImageDetailLine = 0,
    kImageRequestIncomplete = 1,
    kImageRequest = 2,
    kImageResponseIncomplete = 3,
    kImageResponseError = 4,
    kImageResponseSuccess = 5,
    kImageResponseOther = 6,
};

// The names of the known values; an empty view for a value without a name.
std::string_view AssemblyStateName(AssemblyState state);
std::string_view ContentClassName(ContentClass contentClass);

}  // namespace vantor
