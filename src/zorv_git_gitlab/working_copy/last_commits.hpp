// The last commit of a path on a branch as GitLab names it: what `git log -1 <tip> -- <path>` gives
// (history simplified for that one path), for many paths in one walk of the history. Sent as
// `last_commit_id` with the actions that change or remove a file on the server, it makes GitLab refuse
// the commit when the file changed on the branch since the head the changes were computed against:
// a second application of the same changes, or someone else's change that would be overwritten.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "working_copy/git_runner.hpp"

namespace zorv_git_gitlab::working_copy {

// The last commit of each path in the history of `tip`. A path whose history goes past a commit of
// `shallow` (a shallow clone's boundary, whose parents are not here) has no entry: its last commit
// cannot be told from here.
std::map<std::string, std::string> last_commits(const GitRunner& git, const std::string& tip,
                                                const std::vector<std::string>& paths,
                                                const std::set<std::string>& shallow);

// git's C-style quoting of a path undone ("\"a\\tb\"" -> "a<TAB>b"); a path without quotes as it is.
std::string unquote_path(std::string_view text);

}  // namespace zorv_git_gitlab::working_copy
