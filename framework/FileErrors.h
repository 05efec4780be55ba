#pragma once

#include <string>
#include <string_view>

namespace vantor {

// The framework's texts for failed document opens and saves; %1 stands for the file name.
inline constexpr std::string_view kTextUnexpectedFileFormat = "Unexpected file format.";
inline constexpr std::string_view kTextFileNotFound = "%1 was not found.";
inline constexpr std::string_view kTextAccessDenied = "Access to %1 was denied.";
inline constexpr std::string_view kTextDiskFull = "Disk full while accessing %1.";
inline constexpr std::string_view kTextFailedToOpen = "Failed to open document.";
inline constexpr std::string_view kTextFailedToSave = "Failed to save document.";

// text with every %1 replaced by argument.
std::string FormatMessageText(std::string_view text, std::string_view argument);

}  // namespace vantor
