#include "platform/ProcessState.h"

#include <signal.h>

#include <cerrno>
#include <fstream>
#include <string>

namespace vantor {

bool ProcessHasEnded(std::uint32_t pid) {
    if (pid == 0 || pid > static_cast<std::uint32_t>(INT32_MAX)) {
        return false;
    }
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
        return true;
    }
    // The state follows the command name, which is in parentheses and may hold anything.
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) {
        return false;  // gone since, or no /proc: the next look decides
    }
    const std::size_t close = line.rfind(')');
    if (close == std::string::npos || close + 2 >= line.size()) {
        return false;
    }
    const char state = line[close + 2];
    return state == 'Z' || state == 'X';
}

}  // namespace vantor
