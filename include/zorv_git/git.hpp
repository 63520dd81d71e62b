// Base class of the working-copy clients: operations on local directories that every client shares.
#pragma once

#include <string>

#include "zorv_git_gitlab/export.hpp"

namespace zorv_git {

class ZORV_GIT_GITLAB_API Git {
public:
    Git() = delete;  // class-level operations only

    // Clears a working directory. With `destroy` the directory itself is removed; otherwise only its
    // contents are, hidden entries included. Afterwards `path` is absent or empty. Returns true when
    // something was removed, false when there was nothing to remove. Symbolic links are removed, never
    // followed. Throws std::filesystem::filesystem_error when an entry cannot be removed.
    static bool clean_workspace(const std::string& path, bool destroy = false);
};

}  // namespace zorv_git
