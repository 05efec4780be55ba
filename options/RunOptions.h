#pragma once

#include "options/InputHistory.h"

namespace vantor {

// Capture > Run Program...: what the user ran and where, newest first.
struct RunOptions {
    InputHistory commands;  // history_command0 (newest) to history_command9
    InputHistory folders;   // history_folder0 (newest) to history_folder9
};

}  // namespace vantor
