#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "TempDirectory.h"

namespace vantor::test {

// A user of our own for one test: the XDG folders (settings, state, runtime) point into a
// temporary folder while this lives, and back to what they were afterwards.
class ScopedUserFolders {
public:
    ScopedUserFolders() {
        Set("XDG_CONFIG_HOME", m_home.path() / "config");
        Set("XDG_STATE_HOME", m_home.path() / "state");
        Set("XDG_RUNTIME_DIR", m_home.path() / "run");
        ::mkdir((m_home.path() / "run").c_str(), 0700);
    }
    ~ScopedUserFolders() {
        for (const auto& [name, value] : m_saved) {
            if (value) {
                ::setenv(name.c_str(), value->c_str(), 1);
            } else {
                ::unsetenv(name.c_str());
            }
        }
    }
    ScopedUserFolders(const ScopedUserFolders&) = delete;
    ScopedUserFolders& operator=(const ScopedUserFolders&) = delete;

    const std::filesystem::path& path() const { return m_home.path(); }

private:
    void Set(const std::string& name, const std::filesystem::path& value) {
        const char* old = std::getenv(name.c_str());
        m_saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        ::setenv(name.c_str(), value.c_str(), 1);
    }

    TempDirectory m_home;
    std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

}  // namespace vantor::test
