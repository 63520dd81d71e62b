// Publishing the changes of a working copy as one commit made through the commits API. The working
// copy is brought up to date, its changes are committed locally, and the difference between the
// local HEAD commit and the server's branch is sent; the content comes from the local commit's
// objects, never from the working tree, so the server's commit equals the local one.
//
// A call cut short at any step (the process killed) leaves a state the same call picks up again: the
// changes are in the working tree or the local commit until the server's branch holds them, a merge
// of the server's branch that git had not concluded is concluded, and once the server has the commit
// the merge that follows leaves nothing to send. Lock files of a killed git are reported, never removed.
#include <exception>
#include <filesystem>

#include "projects/project.hpp"
#include "output.hpp"
#include "rest/api.hpp"
#include "working_copy/changes.hpp"
#include "working_copy/commit_body.hpp"
#include "working_copy/git_runner.hpp"
#include "working_copy/server_commit.hpp"
#include "zorv_git_gitlab/errors.hpp"
#include "zorv_git_gitlab/operations.hpp"

namespace zorv_git_gitlab::ops {
namespace {

using working_copy::Args;
using working_copy::GitRunner;

constexpr std::string_view kOperation = "commit_project";
constexpr std::string_view kFallbackName = "zorv_git_gitlab";
constexpr std::string_view kFallbackEmail = "zorv_git_gitlab@localhost";

// Only the top of a working copy is accepted: a plain directory inside another repository must not
// make the commands below stage and publish that repository.
void require_top_level(const GitRunner& git, const std::string& repo_dir) {
    namespace fs = std::filesystem;
    const Args args{"rev-parse", "--show-toplevel"};
    const std::string top = git.output(args);
    std::error_code ec;
    if (!fs::equivalent(fs::path(top), fs::path(repo_dir), ec)) {
        git.fail(args, repo_dir + " is not the top directory of a git working copy (that is " + top + ")", -1);
    }
}

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

Args with(Args prefix, std::initializer_list<std::string> args) {
    prefix.insert(prefix.end(), args);
    return prefix;
}

void fetch(const GitRunner& git) { git.run({"fetch", "origin"}, {.network = true}); }

void merge(const GitRunner& git, const Args& identity, const std::string& tracking) {
    git.run(with(identity, {"merge", "--no-edit", tracking}));
}

// A merge of the server's branch cut short after git wrote its result and before it made the merge
// commit (the process killed) leaves that result staged on HEAD, which the next merge refuses. When
// the staged tree is exactly what merging the server's branch into HEAD gives, the merge commit is
// made here, as git would have made it. Anything else staged is left for git to report.
void conclude_cut_short_merge(const GitRunner& git, const Args& identity, const std::string& tracking,
                              const std::string& branch) {
    if (git.run({"diff-index", "--cached", "--quiet", "HEAD", "--"}, {.accept = {0, 1}}).exit_code == 0) return;
    const auto merged = git.run({"merge-tree", "--write-tree", "HEAD", tracking}, {.accept = {0, 1}});
    const auto staged = git.run({"write-tree"}, {.accept = {0, 128}});
    if (merged.exit_code != 0 || staged.exit_code != 0) return;
    if (merged.out.substr(0, merged.out.find('\n')) != staged.out.substr(0, staged.out.find('\n'))) return;
    git.run({"update-ref", "MERGE_HEAD", tracking});
    git.run(with(identity, {"commit", "--quiet", "--message=Merge remote-tracking branch 'origin/" + branch + "'"}));
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

    require_top_level(git, repo_dir);
    fetch(git);
    const Args identity = identity_options(git, author_name, author_email);
    conclude_cut_short_merge(git, identity, tracking, remote_branch);
    merge(git, identity, tracking);

    // A detached HEAD has no branch name and so differs from any.
    const auto active = git.run({"symbolic-ref", "--quiet", "--short", "HEAD"}, {.accept = {0, 1}});
    std::string active_name = active.out;
    while (!active_name.empty() && active_name.back() == '\n') active_name.pop_back();
    if (active.exit_code != 0 || active_name != remote_branch) {
        git.run({"switch", "--no-guess", remote_branch});
        // The branch now checked out takes in the server's branch too: otherwise what the server
        // gained since this branch last merged would be published as deletions.
        merge(git, identity, tracking);
    }

    git.run({"add", "-A"});
    const auto staged = git.run({"diff-index", "--cached", "--quiet", tracking, "--"}, {.accept = {0, 1}});
    if (staged.exit_code == 0) return;

    git.run(with(identity, {"commit", "--allow-empty", "--allow-empty-message", "--cleanup=verbatim", "--file=-"}),
            {.stdin_data = commit_message});
    ctx.print_line(git.output({"rev-list", "--count", "HEAD"}));

    const std::string server_head = git.output({"rev-parse", "--verify", tracking + "^{commit}"});
    const auto diff = git.run({"diff-tree", "-r", "-z", "-M", "--raw", "HEAD", tracking});
    std::vector<working_copy::Change> changes;
    try {
        changes = working_copy::parse_raw_diff(diff.out);
    } catch (const std::runtime_error& e) {
        git.fail({"diff-tree", "-r", "-z", "-M", "--raw", "HEAD", tracking}, e.what(), 0);
    }
    const auto actions = working_copy::plan_actions(changes);
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
        merge(git, identity, tracking);
    } else {
        fail(ctx, "Failed to commit:", response);
        print(ctx, working_copy::failure_map_line(actions));
    }
}

}  // namespace zorv_git_gitlab::ops
