// Publishing the changes of a working copy as one commit made through the commits API. The working
// copy is brought up to date, its changes are committed locally, and the difference between the
// local HEAD commit and the server's branch is sent; the content comes from the local commit's
// objects, never from the working tree, so the server's commit equals the local one.
//
// A call cut short at any step (the process killed) leaves a state the same call picks up again
// (working_copy/repository_state.hpp): what git left half done is concluded or undone first; the
// changes are in the working tree or the local commit until the server's branch holds them; the
// actions carry each file's last commit on the branch, so that the server applies the same changes
// at most once, however late a request of the killed call reaches it; and once the server has the
// commit, the merge that follows leaves nothing to send.
#include <exception>
#include <set>

#include "projects/project.hpp"
#include "output.hpp"
#include "rest/api.hpp"
#include "working_copy/changes.hpp"
#include "working_copy/commit_body.hpp"
#include "working_copy/git_runner.hpp"
#include "working_copy/last_commits.hpp"
#include "working_copy/repository_state.hpp"
#include "working_copy/server_commit.hpp"
#include "zorv_git_gitlab/errors.hpp"
#include "zorv_git_gitlab/operations.hpp"

namespace zorv_git_gitlab::ops {
namespace {

using working_copy::Args;
using working_copy::with;
using working_copy::GitRunner;

constexpr std::string_view kOperation = "commit_project";
constexpr std::string_view kFallbackName = "zorv_git_gitlab";
constexpr std::string_view kFallbackEmail = "zorv_git_gitlab@localhost";

// "-c user.name=... -c user.email=..." for what git lacks when it has no usable identity for commits
// (merges included); nothing when it has one. The caller's author is the fallback when given.
Args identity_options(const GitRunner& git, const std::optional<std::string>& author_name,
                      const std::optional<std::string>& author_email) {
    if (git.probe({"var", "GIT_AUTHOR_IDENT"}).ok() && git.probe({"var", "GIT_COMMITTER_IDENT"}).ok()) return {};
    const auto configured = [&](const std::string& key) {
        const auto result = git.probe({"config", "--get", key});
        return result.ok() && result.out.find_first_not_of(" \t\r\n") != std::string::npos;
    };
    Args options;
    if (!configured("user.name")) {
        const bool given = author_name && !author_name->empty();
        options.insert(options.end(), {"-c", "user.name=" + (given ? *author_name : std::string(kFallbackName))});
    }
    if (!configured("user.email")) {
        const bool given = author_email && !author_email->empty();
        options.insert(options.end(), {"-c", "user.email=" + (given ? *author_email : std::string(kFallbackEmail))});
    }
    return options;
}

void fetch(const GitRunner& git) { git.run({"fetch", "origin"}, {.network = true}); }

std::string merge_message(const std::string& branch) { return "Merge remote-tracking branch 'origin/" + branch + "'"; }

// git merge of the server's branch. When git refuses it because a merge cut short before MERGE_HEAD
// left its result staged, that merge is concluded and this one runs again.
void merge(const GitRunner& git, const Args& identity, const std::string& tracking, const std::string& branch) {
    const Args args = with(identity, {"merge", "--no-edit", tracking});
    const auto result = git.probe(args);
    if (result.ok()) return;
    if (result.term_signal == 0 &&
        working_copy::conclude_staged_merge(git, identity, tracking, merge_message(branch))) {
        git.run(args);
        return;
    }
    git.fail(args, result);
}

// The actions that change or remove a file of the server's branch carry the file's last commit there.
// GitLab then refuses them once the file has changed since the head the changes were computed against:
// of two requests with the same changes, whichever comes second. (A file that is created is refused
// by itself when it exists.) A path whose last commit cannot be told here (beyond a shallow clone's
// end) is sent without one.
void add_last_commits(std::vector<working_copy::Action>& actions, const GitRunner& git,
                      const working_copy::Layout& layout, const std::string& server_head) {
    using working_copy::ActionKind;
    std::set<std::string> created;
    for (const auto& action : actions) {
        if (action.kind == ActionKind::create) created.insert(action.path);
    }
    const auto guards = [&](const working_copy::Action& action) {
        return action.kind == ActionKind::update || action.kind == ActionKind::remove ||
               (action.kind == ActionKind::chmod && !created.contains(action.path));
    };
    std::set<std::string> paths;
    for (const auto& action : actions) {
        if (guards(action)) paths.insert(action.path);
    }
    if (paths.empty()) return;
    const auto last = working_copy::last_commits(git, server_head, {paths.begin(), paths.end()},
                                                 working_copy::shallow_commits(layout));
    for (auto& action : actions) {
        const auto it = last.find(action.path);
        if (guards(action) && it != last.end()) action.last_commit_id = it->second;
    }
}

// GitLab's refusals of a commit whose changes do not fit the branch as it is now: a file to change or
// remove changed since (last_commit_id), a file to create exists, a file to change or remove is gone.
bool refused_for_moved_branch(const rest::Response& response) {
    if (response.status() != 400) return false;
    Json answer;
    try {
        answer = response.json();
    } catch (const JsonDecodeError&) {
        return false;
    }
    const auto it = answer.is_object() ? answer.find("message") : answer.end();
    if (it == answer.end() || !it->is_string()) return false;
    const auto& message = it->get_ref<const std::string&>();
    return message.starts_with("The file has changed since you started editing it") ||
           message == "A file with this name already exists" || message == "A file with this name doesn't exist";
}

// After such a refusal: whether the server's branch, fetched again, holds every local change already
// (the request of an earlier call, cut short, reached the server after all): merging it into HEAD
// then gives the server's tree. The working copy takes it in as after a commit. False when some change
// is missing there, or when that cannot be told (the fetch fails).
bool already_published(const GitRunner& git, const Args& identity, const std::string& tracking,
                       const std::string& branch) {
    if (!git.run({"fetch", "origin"}, {.network = true, .accept = {0, 1, 128}}).ok()) return false;
    const auto merged = git.run({"merge-tree", "--write-tree", "HEAD", tracking}, {.accept = {0, 1}});
    if (merged.exit_code != 0 ||
        merged.out.substr(0, merged.out.find('\n')) != git.output({"rev-parse", tracking + "^{tree}"})) {
        return false;
    }
    merge(git, identity, tracking, branch);
    return true;
}

// The server's commit, from its answer, written here when it is exactly the local tree on the head the
// changes were computed against: the fetch that follows then finds every object present and
// transfers no file again. An answer that does not describe it leaves the fetch to bring it.
void adopt_server_commit(const GitRunner& git, const rest::Response& response, const std::string& server_head) {
    Json answer;
    try {
        answer = response.json();
    } catch (const JsonDecodeError&) {
        return;
    }
    working_copy::adopt_server_commit(git, answer, git.output({"rev-parse", "HEAD^{tree}"}), server_head);
}

// Sends the commit with a body produced while it goes out. A failure while producing it (reading an
// object) ends the transfer and is raised as itself rather than as a transport error.
rest::Response send_commit(rest::Api& api, const rest::Path& path, working_copy::CommitBody& body,
                           working_copy::BlobReader& blobs) {
    std::exception_ptr failure;
    auto source = [&](char* buffer, std::size_t capacity) -> std::size_t {
        try {
            return body.fill(buffer, capacity);
        } catch (...) {
            failure = std::current_exception();
            return rest::kAbortBody;
        }
    };
    try {
        auto response = api.post_json_stream(path, source);
        blobs.finish();
        return response;
    } catch (const TransportError&) {
        if (failure) std::rethrow_exception(failure);
        throw;
    }
}

}  // namespace

void commit_project(Context& ctx, const std::string& repo_dir, const std::string& commit_message,
                    const std::string& project_name, const std::string& remote_branch, std::int64_t group_id,
                    const std::optional<std::string>& author_name, const std::optional<std::string>& author_email) {
    if (remote_branch.empty() || remote_branch.front() == '-') {
        throw Error(std::string(kOperation) + ": \"" + remote_branch + "\" is not a branch name");
    }
    const GitRunner git = GitRunner::for_context(ctx, repo_dir);
    const std::string tracking = "refs/remotes/origin/" + remote_branch;

    const auto layout = working_copy::locate(git, repo_dir);
    const Args identity = identity_options(git, author_name, author_email);
    const auto settled =
        working_copy::settle(git, layout, identity, tracking, remote_branch, merge_message(remote_branch));
    for (const auto& lock : settled.removed_locks) {
        ctx.log(LogLevel::warning, std::string(kOperation) + ": removed the lock file " + lock.string() +
                                       " of a git process that is gone");
    }
    for (const auto& path : settled.undone) {
        ctx.log(LogLevel::warning,
                std::string(kOperation) + ": put back " + path + ", which a checkout cut short had rewritten");
    }
    if (!settled.merge.empty()) ctx.log(LogLevel::warning, std::string(kOperation) + ": " + settled.merge);
    fetch(git);
    merge(git, identity, tracking, remote_branch);

    // A detached HEAD has no branch name and so differs from any.
    const auto active = git.run({"symbolic-ref", "--quiet", "--short", "HEAD"}, {.accept = {0, 1}});
    std::string active_name = active.out;
    while (!active_name.empty() && active_name.back() == '\n') active_name.pop_back();
    if (active.exit_code != 0 || active_name != remote_branch) {
        git.run({"switch", "--no-guess", remote_branch});
        // The branch now checked out takes in the server's branch too: otherwise what the server
        // gained since this branch last merged would be published as deletions.
        merge(git, identity, tracking, remote_branch);
    }

    git.run({"add", "-A"});
    if (git.run({"diff-index", "--cached", "--quiet", tracking, "--"}, {.accept = {0, 1}}).exit_code == 0) return;
    // Nothing staged beyond HEAD: the changes are in a local commit already (a call cut short after
    // it, or refused), and no empty one is added on top of it.
    if (git.run({"diff-index", "--cached", "--quiet", "HEAD", "--"}, {.accept = {0, 1, 128}}).exit_code != 0) {
        git.run(with(identity, {"commit", "--allow-empty", "--allow-empty-message", "--cleanup=verbatim", "--file=-"}),
                {.stdin_data = commit_message});
    }
    ctx.print_line(git.output({"rev-list", "--count", "HEAD"}));

    const std::string server_head = git.output({"rev-parse", "--verify", tracking + "^{commit}"});
    const auto diff = git.run({"diff-tree", "-r", "-z", "-M", "--raw", "HEAD", tracking});
    std::vector<working_copy::Change> changes;
    try {
        changes = working_copy::parse_raw_diff(diff.out);
    } catch (const std::runtime_error& e) {
        git.fail({"diff-tree", "-r", "-z", "-M", "--raw", "HEAD", tracking}, e.what(), 0);
    }
    auto actions = working_copy::plan_actions(changes);
    add_last_commits(actions, git, layout, server_head);
    working_copy::BlobReader blobs(git, repo_dir);
    working_copy::CommitBody body(remote_branch, commit_message, actions, author_name, author_email, blobs,
                                  ctx.show_progress());

    const auto project = require_project(ctx, kOperation, project_name, group_id);
    rest::Api api(ctx, std::string(kOperation));
    const auto response =
        send_commit(api, rest::Path{"projects", project.id_text, "repository", "commits"}, body, blobs);

    if (response.status() == 201) {
        print(ctx, "Successfully committed");
        adopt_server_commit(git, response, server_head);
        fetch(git);
        merge(git, identity, tracking, remote_branch);
    } else if (refused_for_moved_branch(response) && already_published(git, identity, tracking, remote_branch)) {
        ctx.report(Outcome{Outcome::Kind::nothing_to_do, {}});
    } else {
        fail(ctx, "Failed to commit:", response);
        print(ctx, working_copy::failure_map_line(actions));
    }
}

}  // namespace zorv_git_gitlab::ops
