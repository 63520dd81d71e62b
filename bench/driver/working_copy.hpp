// The working-copy benchmark: commit_project on a prepared working copy, and the git commands it
// is built on run alone on an identical copy.
#pragma once

#include <nlohmann/json.hpp>

#include "common.hpp"

namespace zorv_bench {

// GitlabGit::commit_project on --dir; wall time, CPU time and peak memory of this process, and the
// peak memory of its largest child (a git command).
nlohmann::json commit_project(const Options& options);

// fetch, merge, add -A, commit, diff-tree, and cat-file --batch over the blobs the diff names, as
// commit_project runs them, each timed.
nlohmann::json git_plumbing(const Options& options);

}  // namespace zorv_bench
