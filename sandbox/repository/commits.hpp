// Writing commits the way GitLab's commits API does: a list of file actions applied to the tree
// of a start branch, written as one commit and published with a compare-and-swap ref update.
#pragma once

#include "repository/records.hpp"

#include <optional>
#include <string>
#include <vector>

namespace zorv_sandbox::repository {

struct FileAction {
    std::string action{};                    // create, update, move, delete, chmod
    std::string file_path{};
    std::string previous_path{};             // move; with any action, the file last_commit_id speaks of
    std::optional<std::string> content{};    // decoded bytes
    std::optional<bool> execute_filemode{};  // create, chmod
    std::string last_commit_id{};            // "" when not given
};

struct CommitRequest {
    std::string branch;
    std::optional<std::string> start_branch;
    std::optional<std::string> start_sha;
    bool force = false;
    std::string message;
    repo::Identity author, committer;
    std::vector<FileAction> actions;
};

struct WrittenCommit {
    repo::CommitInfo commit;
    bool repository_was_empty = false;
};

// Applies the actions and moves the branch. The caller holds the repository's lock. Throws
// ApiError 400 with GitLab's messages ("A file with this name already exists", ...).
WrittenCommit write_commit(const repo::GitRepo& git, const CommitRequest& request);

// After a new commit on `branch`: the first branch of an empty repository becomes its HEAD and
// the project's default branch; a pipeline is recorded when the commit's tree holds
// `.gitlab-ci.yml`. Returns the pipeline record, or null.
Json publish_commit(Sandbox& sandbox, const ProjectRef& project, const repo::GitRepo& git, const std::string& branch,
                    const WrittenCommit& written);

// A new pipeline for commit `sha` on `branch` when its tree holds `.gitlab-ci.yml`; else null.
Json pipeline_for(Sandbox& sandbox, const ProjectRef& project, const repo::GitRepo& git, const std::string& branch,
                  const std::string& sha);

}  // namespace zorv_sandbox::repository
