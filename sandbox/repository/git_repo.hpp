// Operations on one bare repository with git plumbing only (no working tree): reading refs (in
// process, from the loose ref files and packed-refs),
// commits and trees, writing blobs, trees, commits and tags, and compare-and-swap ref updates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zorv_sandbox::repo {

// git failed in a way the caller did not expect (the message holds git's stderr).
class GitError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Identity {
    std::string name;
    std::string email;
};

struct CommitInfo {
    std::string id;
    std::vector<std::string> parents;
    std::string author_name, author_email, authored_date;        // dates as GitLab shows them
    std::string committer_name, committer_email, committed_date;
    std::int64_t committed_at = 0;                                // seconds since the epoch
    std::string message;                                          // as stored, byte for byte
};

struct Stats {
    std::int64_t additions = 0;
    std::int64_t deletions = 0;
};

// One file of a tree, by its full path.
struct TreeEntry {
    std::string mode;  // "100644", "100755", "120000", "160000"
    std::string oid;
};
using Files = std::map<std::string, TreeEntry>;

struct TagInfo {
    std::string name;
    std::string target;     // the tag object for annotated tags, else the commit
    std::string commit;     // the commit it points at ("" when it points at something else)
    bool annotated = false;
    std::string message;    // annotated tags only
    std::string tagged_at;  // tagger date of annotated tags, GitLab's format; "" for lightweight
};

struct MergeResult {
    bool clean = false;
    std::string tree;                    // the merged tree when clean
    std::vector<std::string> conflicts;  // paths in conflict
};

using Env = std::vector<std::pair<std::string, std::string>>;

class GitRepo {
public:
    explicit GitRepo(std::filesystem::path dir);
    [[nodiscard]] const std::filesystem::path& dir() const noexcept { return dir_; }

    // Runs `git <args>` for this repository; throws GitError when git exits non-zero.
    std::string git(const std::vector<std::string>& args, std::string_view input = {}, const Env& env = {}) const;
    // Same, but hands back the exit code instead of throwing (stdout into *out when given).
    int git_status(const std::vector<std::string>& args, std::string* out = nullptr, std::string_view input = {},
                   const Env& env = {}) const;

    // -- refs
    [[nodiscard]] bool has_commits() const;  // any branch at all
    [[nodiscard]] std::optional<std::string> resolve_commit(std::string_view rev) const;
    [[nodiscard]] std::optional<std::string> branch_head(std::string_view branch) const;
    [[nodiscard]] std::vector<std::pair<std::string, std::string>> branches() const;  // name, sha; by name
    [[nodiscard]] std::vector<std::string> branches_merged_into(std::string_view commit) const;
    [[nodiscard]] std::optional<std::string> head_branch() const;  // the branch HEAD names
    void set_head_branch(std::string_view branch) const;
    // Compare-and-swap: `expected` empty means the ref must not exist yet. False when the ref
    // did not hold the expected value.
    bool update_ref(const std::string& ref, const std::string& value, const std::string& expected) const;
    bool delete_ref(const std::string& ref, const std::string& expected) const;
    [[nodiscard]] bool valid_branch_name(std::string_view name) const;
    [[nodiscard]] bool valid_tag_name(std::string_view name) const;

    // -- commits
    [[nodiscard]] std::vector<CommitInfo> commits(const std::vector<std::string>& ids) const;
    // `git log` order (newest first) of the given revisions or ranges, window [skip, skip + max).
    // `options` are further log options the caller has checked (--since=..., --first-parent);
    // `path` limits the history to one path when not empty.
    [[nodiscard]] std::vector<CommitInfo> log(const std::vector<std::string>& revs, std::size_t skip,
                                              std::size_t max, const std::vector<std::string>& options = {},
                                              const std::string& path = {}) const;
    [[nodiscard]] Stats stats(const CommitInfo& commit) const;
    [[nodiscard]] std::optional<std::string> last_commit_for_path(const std::string& commit,
                                                                  const std::string& path) const;
    [[nodiscard]] bool is_ancestor(const std::string& ancestor, const std::string& descendant) const;
    [[nodiscard]] std::optional<std::string> merge_base(const std::string& a, const std::string& b) const;
    [[nodiscard]] std::size_t changed_files(const std::string& from, const std::string& to) const;

    // -- trees and blobs
    [[nodiscard]] Files files(const std::string& commit) const;  // every file, recursively
    [[nodiscard]] std::string read_blob(const std::string& oid) const;
    [[nodiscard]] std::string write_blob(std::string_view content) const;
    // Writes every content as a blob with one git process; their ids in the same order.
    [[nodiscard]] std::vector<std::string> write_blobs(const std::vector<std::string_view>& contents) const;
    // Writes the tree holding exactly `files`, through a temporary index.
    [[nodiscard]] std::string write_tree(const Files& files) const;
    [[nodiscard]] std::string tree_of(const std::string& commit) const;
    [[nodiscard]] std::string commit_tree(const std::string& tree, const std::vector<std::string>& parents,
                                          const std::string& message, const Identity& author,
                                          const Identity& committer) const;
    // git merge-tree --write-tree: the merged tree, or the conflicting paths.
    [[nodiscard]] MergeResult merge_trees(const std::string& ours, const std::string& theirs) const;

    // -- tags
    // In the order of a `git for-each-ref --sort` key, ascending: "refname", "creatordate"
    // (tagger date, or the commit's for lightweight tags), "version:refname".
    [[nodiscard]] std::vector<TagInfo> tags(const std::string& sort_key = "refname") const;
    [[nodiscard]] std::optional<TagInfo> tag(std::string_view name) const;
    // Writes an annotated tag object for `commit`.
    [[nodiscard]] std::string make_tag_object(const std::string& name, const std::string& commit,
                                              const std::string& message, const Identity& tagger) const;

private:
    std::filesystem::path dir_;
};

// GitLab shows dates as "2024-05-01T12:00:00.000+02:00"; git gives "2024-05-01T12:00:00+02:00".
std::string gitlab_date(std::string_view git_iso);

std::string base64_encode(std::string_view data);
// Standard alphabet; whitespace is skipped. nullopt for anything else that is not base64.
std::optional<std::string> base64_decode(std::string_view text);

}  // namespace zorv_sandbox::repo
