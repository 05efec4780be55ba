#pragma once

#include <string_view>

namespace vantor {

// The maker's name and the application's name, which together name the settings key.
inline constexpr std::string_view kCompanyName = "Orvane";
inline constexpr std::string_view kApplicationName = "Vantor";
inline constexpr std::string_view kApplicationKey = "Software\\Orvane\\Vantor";
// The single-instance lock.
inline constexpr std::string_view kInstanceLockName = "VANTOR_RUNNING";

}  // namespace vantor
