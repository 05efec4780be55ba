#pragma once

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <optional>

namespace vantor::test {

// Another local user, for what must hold against one: "nobody", whom no test file belongs to.
inline constexpr uid_t kOtherUser = 65534;
inline constexpr gid_t kOtherGroup = 65534;

inline bool CanActAsOtherUser() {
    return ::geteuid() == 0;
}

// Runs body in a child process that has become the other user; what it returned. Nothing when
// this process cannot become another user (it is not root): the caller skips.
inline std::optional<bool> AsOtherUser(const std::function<bool()>& body) {
    if (!CanActAsOtherUser()) {
        return std::nullopt;
    }
    const pid_t child = ::fork();
    if (child < 0) {
        return false;
    }
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(kOtherGroup) != 0 ||
            ::setuid(kOtherUser) != 0) {
            ::_exit(2);
        }
        ::_exit(body() ? 0 : 1);
    }
    int status = 0;
    return ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace vantor::test
