// Cloning a project into a local working copy.
#include <filesystem>

#include "projects/project.hpp"
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

// A credential helper for the caller's own git in the working copy (fetch, pull, push): it hands git
// "oauth2" and the token GITLAB_TOKEN holds at the moment git asks, so that no secret is stored
// anywhere; without it, it tells git to stop at once instead of prompting. The token stays inside
// the shell (printf is built in): never on a command line.
constexpr std::string_view kCredentialHelper =
    "!f() { test \"$1\" = get || exit 0; cat >/dev/null; "
    "if test -n \"$GITLAB_TOKEN\"; then printf 'username=oauth2\\npassword=%s\\n' \"$GITLAB_TOKEN\"; "
    "else echo 'GITLAB_TOKEN is not set: no credentials for this server' >&2; echo quit=1; fi; }; f";

// "scheme://host[:port]" of a clone address: the helper answers for that server only.
std::string server_of(const std::string& url) {
    const auto scheme_end = url.find("://");
    if (scheme_end == std::string::npos) return url;
    return url.substr(0, url.find('/', scheme_end + 3));
}

// The helper, for the server only; the empty entry before it sets aside helpers configured
// elsewhere (a store or a cache would keep the token, or answer with another).
void configure_credentials(const working_copy::GitRunner& git, const std::string& url) {
    const std::string key = "credential." + server_of(url) + ".helper";
    git.run({"config", "--local", "--add", key, ""});
    git.run({"config", "--local", "--add", key, std::string(kCredentialHelper)});
}

}  // namespace

std::string clone_project(Context& ctx, const std::string& repo_dir, const std::string& project_name,
                          std::int64_t group_id, bool overwrite, const std::optional<std::string>& branch) {
    constexpr std::string_view operation = "clone_project";
    if (holds_entries(repo_dir)) {
        if (!overwrite) throw DirectoryNotEmptyError(repo_dir + " is not empty!");
        ctx.clean_workspace(repo_dir, true);
    }
    const auto project = require_project(ctx, operation, project_name, group_id);
    const Json& url = rest::field(project.record, "http_url_to_repo", operation);
    if (!url.is_string()) throw MissingFieldError(std::string(operation), "http_url_to_repo");

    // The remote keeps the plain address; the token reaches git as a header for this command only, and
    // later git commands in the working copy ask the credential helper for it.
    const Config config = ctx.config();
    const working_copy::GitRunner git({}, ctx.clone_token(), {config.token.value_or("")}, config.settings);
    working_copy::Args args{"clone"};
    if (branch) args.push_back("--branch=" + *branch);
    args.emplace_back("--");
    args.push_back(url.get<std::string>());
    args.push_back(repo_dir);
    git.run(args, {.network = true});
    configure_credentials(working_copy::GitRunner(repo_dir, std::nullopt, {}, config.settings), url.get<std::string>());
    return repo_dir;
}

}  // namespace zorv_git_gitlab::ops
