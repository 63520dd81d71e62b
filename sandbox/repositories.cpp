// Bare repositories: made when a project is created through the API, or, for projects seeded in bulk,
// when a route first resolves the project.
#include "server.hpp"

#include <zorv_git/process.hpp>

namespace zorv_sandbox {

namespace fs = std::filesystem;

void make_bare_repository(const fs::path& repository, const std::string& default_branch) {
    std::error_code ec;
    fs::remove_all(repository, ec);  // a leftover of a project deleted while the sandbox was down
    fs::create_directories(repository.parent_path());
    const auto git = zorv_git::process::run(
        {"git", "init", "--quiet", "--bare", "--initial-branch=" + default_branch, repository.string()});
    if (!git.ok()) throw std::runtime_error("git init failed: " + git.err);
    // Pushes over HTTPS are accepted by git http-backend only when enabled.
    zorv_git::process::run({"git", "-C", repository.string(), "config", "http.receivepack", "true"});
}

// A bulk-seeded project's repository, made under the repository's lock unless another request made it
// first; the project then counts as made (and is saved so).
void Sandbox::make_pending_repository(const ProjectRef& project) {
    const auto lock = repository_lock(project.repository);
    std::lock_guard held(*lock);
    const auto branch = read([&](const State& s) -> std::optional<std::string> {
        const auto it = s.projects.find(project.id);
        if (it == s.projects.end() || it->second.repository_made) return std::nullopt;
        return it->second.record.value("default_branch", std::string{kDefaultBranch});
    });
    if (!branch) return;
    make_bare_repository(project.repository, *branch);
    write([&](State& s) {
        if (const auto it = s.projects.find(project.id); it != s.projects.end()) it->second.repository_made = true;
    });
}

}  // namespace zorv_sandbox
