// Cloning a project into a local working copy.
#include <filesystem>

#include "rest/api.hpp"
#include "working_copy/git_runner.hpp"
#include "zorv_git_gitlab/errors.hpp"
#include "zorv_git_gitlab/operations.hpp"

namespace zorv_git_gitlab::ops {
namespace {

// True when the path exists and lists at least one entry, hidden ones included. A path that is not
// a directory raises the file system's error, as listing it does.
bool holds_entries(const std::filesystem::path& dir) {
    namespace fs = std::filesystem;
    if (!fs::exists(dir)) return false;
    return fs::directory_iterator(dir) != fs::directory_iterator();
}

}  // namespace

std::string clone_project(Context& ctx, const std::string& repo_dir, const std::string& project_name,
                          std::int64_t group_id, bool overwrite, const std::optional<std::string>& branch) {
    constexpr std::string_view operation = "clone_project";
    if (holds_entries(repo_dir)) {
        if (!overwrite) throw DirectoryNotEmptyError(repo_dir + " is not empty!");
        ctx.clean_workspace(repo_dir, true);
    }
    const auto project = rest::require_project(ctx, operation, project_name, group_id);
    const Json& url = rest::field(project.record, "http_url_to_repo", operation);
    if (!url.is_string()) throw MissingFieldError(std::string(operation), "http_url_to_repo");

    // The remote keeps the plain address; the token reaches git as a header for this command only.
    const Config config = ctx.config();
    const working_copy::GitRunner git({}, ctx.clone_token(), {config.token.value_or("")}, config.settings);
    working_copy::Args args{"clone"};
    if (branch) args.push_back("--branch=" + *branch);
    args.emplace_back("--");
    args.push_back(url.get<std::string>());
    args.push_back(repo_dir);
    git.run(args, {.network = true});
    return repo_dir;
}

}  // namespace zorv_git_gitlab::ops
