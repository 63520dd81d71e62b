#include "zorv_git/git.hpp"

#include <filesystem>
#include <system_error>

namespace zorv_git {

bool Git::clean_workspace(const std::string& path, bool destroy) {
    namespace fs = std::filesystem;
    const fs::path dir(path);
    std::error_code ec;
    const auto status = fs::symlink_status(dir, ec);
    if (!fs::exists(status)) return false;
    if (destroy || !fs::is_directory(status)) return fs::remove_all(dir) > 0;
    bool removed = false;
    for (const auto& entry : fs::directory_iterator(dir)) {
        removed = fs::remove_all(entry.path()) > 0 || removed;
    }
    return removed;
}

}  // namespace zorv_git
