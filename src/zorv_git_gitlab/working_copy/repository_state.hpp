// What a publish cut short (the process killed at any step, with the git it was running) can leave in
// a working copy, recognised at the start of the next call and concluded or undone there, so that the
// same call run again carries on as if nothing had happened:
//
//   lock files of a git that is gone      removed; a lock of a git still working there is reported
//   a checkout cut short (index.lock)     the files it had rewritten put back, so that it runs again
//   a merge cut short after MERGE_HEAD    concluded as git would have (a clean merge staged), or its
//                                         leftover state cleared (the merge commit was already made)
//   a merge cut short before MERGE_HEAD   concluded when git's next merge refuses the staged result
//   a half-made local commit              nothing to do: its objects are unreferenced until the
//                                         branch moves, and the branch moves last
//   ORIG_HEAD                             left as every merge leaves it
//   a fetched, unmerged server commit     merged by the call, as any server commit
//   a server commit not yet merged        the same; its tree then equals the local one, so nothing
//                                         is sent again
#pragma once

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "working_copy/git_runner.hpp"

namespace zorv_git_gitlab::working_copy {

struct Layout {
    std::filesystem::path top;         // the working tree's top directory
    std::filesystem::path git_dir;     // its git directory (.git, or .git/worktrees/<name> of a linked one)
    std::filesystem::path common_dir;  // what every working tree of the repository shares (objects, refs)
};

// Where the repository's parts are. GitError when `repo_dir` is not the top of a git working copy: a
// plain directory inside another repository must not make the call stage and publish that one.
Layout locate(const GitRunner& git, const std::string& repo_dir);

// The commits a shallow clone ends at (their parents are not here); none for a full clone.
std::set<std::string> shallow_commits(const Layout& layout);

// The lock files of git in the repository: `*.lock` in its git directories and below refs/.
std::vector<std::filesystem::path> lock_files(const Layout& layout);

// What may hold the lock files (and a merge in progress) of the repository: each git process working on
// it, and each process that has one of `locks` open, described for a message ("git process 4242").
std::vector<std::string> lock_holders(const Layout& layout, const std::vector<std::filesystem::path>& locks);

struct Settled {
    std::vector<std::filesystem::path> removed_locks;  // left by a git that is gone
    std::vector<std::string> undone;                   // files a checkout cut short had rewritten, put back
    std::string merge;                                 // what became of a merge cut short ("" when none)
};

// Brings the working copy out of whatever a call cut short left (the table above), before the call
// fetches: `tracking` is then still the server's branch as the call cut short merged it, and `branch`
// the branch it switched to. `identity`: the "-c user.*" options a commit needs here; `merge_message`:
// the message of a merge commit whose MERGE_MSG is gone. GitError, changing nothing, when a lock file
// or a merge in progress belongs to a git process that is still working in the repository.
Settled settle(const GitRunner& git, const Layout& layout, const Args& identity, const std::string& tracking,
               const std::string& branch, std::string_view merge_message);

// After git refused to merge `tracking`: when the index holds exactly what merging `tracking` (or the
// value it had before the last fetch) into HEAD gives, the merge was cut short after git wrote its
// result and before it wrote MERGE_HEAD; the merge commit is made as git would have made it, and true
// is returned. False, changing nothing, otherwise.
bool conclude_staged_merge(const GitRunner& git, const Args& identity, const std::string& tracking,
                           std::string_view merge_message);

}  // namespace zorv_git_gitlab::working_copy
