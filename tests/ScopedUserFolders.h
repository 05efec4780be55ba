#pragma once

#include <sys/stat.h>

#include <string>

#include "ScopedEnvironment.h"
#include "TempDirectory.h"

namespace vantor::test {

// A user of our own for one test: the XDG folders (settings, state, runtime) point into a
// temporary folder while this lives, and back to what they were afterwards.
class ScopedUserFolders {
public:
    ScopedUserFolders() {
        m_environment.Set("XDG_CONFIG_HOME", (m_home.path() / "config").string());
        m_environment.Set("XDG_STATE_HOME", (m_home.path() / "state").string());
        m_environment.Set("XDG_RUNTIME_DIR", (m_home.path() / "run").string());
        ::mkdir((m_home.path() / "run").c_str(), 0700);
    }
    ScopedUserFolders(const ScopedUserFolders&) = delete;
    ScopedUserFolders& operator=(const ScopedUserFolders&) = delete;

    const std::filesystem::path& path() const { return m_home.path(); }

private:
    TempDirectory m_home;
    ScopedEnvironment m_environment;
};

}  // namespace vantor::test
