#pragma once

#include <cstdint>
#include <string>

#include "options/AppPreferences.h"
#include "options/FilterOptions.h"
#include "options/FindOptions.h"
#include "options/RunOptions.h"

namespace vantor {

// The process-wide option state: created with its defaults before anything else runs, loaded
// once at start-up and saved once at exit. Only the window thread touches it.
struct Options {
    AppPreferences preferences;
    FilterOptions filter;
    FindOptions find;
    RunOptions run;
    std::int32_t runCount = 0;
    std::string helpFolder;  // put in front of every help-file name, unchanged
};

Options& GlobalOptions();

inline AppPreferences& Preferences() {
    return GlobalOptions().preferences;
}
inline FilterOptions& Filter() {
    return GlobalOptions().filter;
}
inline FindOptions& FindSettings() {
    return GlobalOptions().find;
}

}  // namespace vantor
