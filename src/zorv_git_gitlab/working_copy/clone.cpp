// Cloning a project into a local working copy.
#include <filesystem>

#include "projects/project.hpp"
#include "rest/api.hpp"
#include "working_copy/git_runner.hpp"
#include "zorv_git_gitlab/credentials.hpp"
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

// The text in single quotes for sh: every ' written as '\''.
std::string shell_quoted(std::string_view text) {
    std::string out = "'";
    for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// A credential helper for the caller's own git in the working copy (fetch, pull, push), for the clone's
// server only: it hands git "oauth2" and, at the moment git asks, the token of the variable named
// after the server's host (token_variable), else, when GITLAB_HOST names this server, GITLAB_TOKEN.
// No secret is stored anywhere, and GITLAB_TOKEN never goes to another server. Without a token it
// tells git to stop at once instead of prompting. The token stays inside the shell (printf is built
// in): never on a command line.
std::string credential_helper(const std::string& server) {
    const auto scheme_end = server.find("://");
    const std::string variable =
        token_variable(scheme_end == std::string::npos ? server : server.substr(scheme_end + 3));
    const std::string answer = "printf 'username=oauth2\\npassword=%s\\n' ";
    const auto refuse = [](const std::string& message) {
        return "printf '%s\\n' " + shell_quoted(message) + " >&2; echo quit=1; ";
    };
    return "!f() { test \"$1\" = get || exit 0; cat >/dev/null; "
           "if test -n \"$" + variable + "\"; then " + answer + "\"$" + variable + "\"; "
           "elif test \"https://$GITLAB_HOST\" = " + shell_quoted(server) + "; then "
           "if test -n \"$GITLAB_TOKEN\"; then " + answer + "\"$GITLAB_TOKEN\"; else " +
           refuse("GITLAB_TOKEN is not set: no credentials for " + server + " (set GITLAB_TOKEN or " + variable + ")") +
           "fi; else " + refuse("no credentials for " + server + ": set " + variable) + "fi; }; f";
}

// The helper, for the clone's server only (git matches the scheme, host and port); the empty entry
// before it sets aside helpers configured elsewhere (a store or a cache would keep the token, or
// answer with another).
void configure_credentials(const working_copy::GitRunner& git, const std::string& url) {
    const std::string server = server_of(url);
    const std::string key = "credential." + server + ".helper";
    git.run({"config", "--local", "--add", key, ""});
    git.run({"config", "--local", "--add", key, credential_helper(server)});
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

    // The remote keeps the plain address; the token reaches git as a header for this command only (and
    // only for the context's server), and later git commands in the working copy ask the credential
    // helper for theirs.
    const auto git = working_copy::GitRunner::for_context(ctx, {});
    const bool progress = ctx.show_progress();
    working_copy::Args args{"clone"};
    if (progress) args.emplace_back("--progress");
    if (branch) args.push_back("--branch=" + *branch);
    args.emplace_back("--");
    args.push_back(url.get<std::string>());
    args.push_back(repo_dir);
    git.run(args, {.network = true, .progress = progress});
    configure_credentials(working_copy::GitRunner(repo_dir, {}, {}, ctx.config().settings), url.get<std::string>());
    return repo_dir;
}

}  // namespace zorv_git_gitlab::ops
