// Every operation of GitlabGit as a function of an explicit context (context.hpp). GitlabGit's
// class-level operations (git.hpp) call these with the default context; a caller with a context of
// its own calls them directly.
//
// Conventions shared by the operations:
// - Projects are named by `project_name` within the group `group_id` and found with get_project_info.
//   Operations that need the project raise ProjectNotFoundError when it is missing, before any
//   further request.
// - A refused request (an unexpected status) is never raised: the operation prints its failure line
//   (message, one space, the server's answer) and returns no value or false.
// - Transport faults raise TransportError subclasses; an undecodable success answer raises
//   JsonDecodeError; a success answer without a field the operation reads raises MissingFieldError.
// - Configuration (api_url, gitlab_token, settings) is read from the context at the moment of each call.
//
// The defaults of trailing parameters are written once, in the operation table, and added to these
// declarations by the header generated from it (operation_defaults.hpp, included at the end).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "zorv_git_gitlab/context.hpp"
#include "zorv_git_gitlab/export.hpp"
#include "zorv_git_gitlab/id.hpp"
#include "zorv_git_gitlab/json.hpp"

namespace zorv_git_gitlab::ops {

// --- Groups and access tokens -------------------------------------------------------------------
// Creates subgroup `group_name` (also its path) under `parent_id`. True on 201, else prints
// "Failed to create subgroup. Response:" and the answer, and returns false.
ZORV_GIT_GITLAB_API bool create_sub_group(Context& ctx, const std::string& group_name, std::int64_t parent_id);
// Deletes the subgroup found by get_sub_group_info. True when deleted (202/204) or not found
// ("Subgroup Not Found"), false when refused.
ZORV_GIT_GITLAB_API bool delete_sub_group(Context& ctx, const std::string& group_name, std::int64_t parent_id);
// The subgroup's id, or no value; with raise_error a missing subgroup raises SubgroupNotFoundError.
ZORV_GIT_GITLAB_API std::optional<std::int64_t> get_sub_group_id(Context& ctx, const std::string& group_name,
                                                                 std::int64_t parent_id, bool raise_error);
// The record of the direct subgroup named exactly `group_name` (all pages searched), or no value.
ZORV_GIT_GITLAB_API std::optional<Json> get_sub_group_info(Context& ctx, const std::string& group_name,
                                                           std::int64_t parent_id);
// Mints a personal access token (scope read_api) for a user (administrators only); its secret, or no value.
ZORV_GIT_GITLAB_API std::optional<std::string> create_repo_token(Context& ctx, std::int64_t user_id,
                                                                 const std::string& token_name);
// Mints a group access token (access level 50, api and repository scopes); its secret, or no value.
ZORV_GIT_GITLAB_API std::optional<std::string> create_group_access_token(Context& ctx, std::int64_t group_id,
                                                                         const std::string& token_name);
// The group's first token record named exactly `token_name` (all pages searched), or no value.
ZORV_GIT_GITLAB_API std::optional<Json> get_access_token_info(Context& ctx, std::int64_t group_id,
                                                              const std::string& token_name);

// --- Projects, branches and files ---------------------------------------------------------------
// Creates an internal project and commits README.md ("Hello World") to master in it.
ZORV_GIT_GITLAB_API void create_project(Context& ctx, const std::string& project_name, std::int64_t group_id);
// The project named exactly `project_name` in group `group_id`, or no value (prints nothing).
ZORV_GIT_GITLAB_API std::optional<Json> get_project_info(Context& ctx, const std::string& project_name,
                                                         std::int64_t group_id);
// Deletes the project; prints whether it was accepted, refused or missing.
ZORV_GIT_GITLAB_API void delete_project(Context& ctx, const std::string& project_name, std::int64_t group_id);
// The branch record, or no value.
ZORV_GIT_GITLAB_API std::optional<Json> get_branch_info(Context& ctx, const std::string& project_name,
                                                        std::int64_t group_id, const std::string& branch_name);
// Creates the branch from `ref` unless it exists; the new branch record, or no value.
ZORV_GIT_GITLAB_API std::optional<Json> create_branch(Context& ctx, const std::string& project_name,
                                                      std::int64_t group_id, const std::string& branch_name,
                                                      const std::string& ref);
// Deletes the branch if it exists; prints the outcome.
ZORV_GIT_GITLAB_API void delete_branch(Context& ctx, const std::string& project_name, std::int64_t group_id,
                                       const std::string& branch_name);
// Commits one new file (the text `file_content`) to master; prints the outcome.
ZORV_GIT_GITLAB_API void commit_file(Context& ctx, const std::string& project_name, std::int64_t group_id,
                                     const std::string& filename, const std::string& file_content);

// --- Working copies -----------------------------------------------------------------------------
// Clones the project into `repo_dir` (cleared first when not empty and `overwrite`, else
// DirectoryNotEmptyError); returns the working copy's directory. Raises GitError when git fails.
ZORV_GIT_GITLAB_API std::string clone_project(Context& ctx, const std::string& repo_dir,
                                              const std::string& project_name, std::int64_t group_id, bool overwrite,
                                              const std::optional<std::string>& branch);
// Publishes every local change of the working copy to `remote_branch` as one API commit.
ZORV_GIT_GITLAB_API void commit_project(Context& ctx, const std::string& repo_dir, const std::string& commit_message,
                                        const std::string& project_name, const std::string& remote_branch,
                                        std::int64_t group_id, const std::optional<std::string>& author_name,
                                        const std::optional<std::string>& author_email);

// --- Merge requests, tags and history -----------------------------------------------------------
// Opens a merge request; its record, or no value.
ZORV_GIT_GITLAB_API std::optional<Json> create_merge_request(Context& ctx, const std::string& project_name,
                                                             std::int64_t group_id, const std::string& title,
                                                             const std::string& source_branch,
                                                             const std::string& target_branch);
// Waits (polling every merge_poll_interval, within `timeout` seconds) until the server has checked the
// merge request, then merges it with message `title`, removing the source branch. The merged record,
// or no value; MergeTimeoutError when the check does not end in time.
ZORV_GIT_GITLAB_API std::optional<Json> perform_merge(Context& ctx, const std::string& project_name,
                                                      std::int64_t group_id, std::int64_t merge_request_id,
                                                      const std::string& title, double timeout);
// The commits of start_ref...end_ref (all pages), or no value.
ZORV_GIT_GITLAB_API std::optional<Json> get_commits_by_range(Context& ctx, const std::string& start_ref,
                                                             const std::string& end_ref,
                                                             const std::string& project_name, std::int64_t group_id);
// The project's tags ordered by version (all pages), or no value.
ZORV_GIT_GITLAB_API std::optional<Json> get_tag_list(Context& ctx, const std::string& project_name,
                                                     std::int64_t group_id);
// The tag record, or no value.
ZORV_GIT_GITLAB_API std::optional<Json> get_tag_info(Context& ctx, const std::string& tag_name,
                                                     const std::string& project_name, std::int64_t group_id);
// Tags `remote_branch` unless the tag exists; prints the outcome.
ZORV_GIT_GITLAB_API void tag_project(Context& ctx, const std::string& tag_name, const std::string& project_name,
                                     const std::string& remote_branch, std::int64_t group_id);

// --- CI/CD --------------------------------------------------------------------------------------
ZORV_GIT_GITLAB_API std::optional<Json> get_project_variable(Context& ctx, const std::string& project_name,
                                                             const std::string& key, std::int64_t group_id);
// Creates or (with `overwrite`) updates the variable; prints the outcome. Masked exactly when not a
// file and the value is maskable (8+ characters of a-zA-Z0-9_+=/@:.~-).
ZORV_GIT_GITLAB_API void set_project_variable(Context& ctx, const std::string& project_name, const std::string& key,
                                              const std::string& value, std::int64_t group_id, bool is_file,
                                              bool overwrite);
ZORV_GIT_GITLAB_API std::optional<Json> get_group_variable(Context& ctx, std::int64_t group_id,
                                                           const std::string& key);
ZORV_GIT_GITLAB_API void set_group_variable(Context& ctx, std::int64_t group_id, const std::string& key,
                                            const std::string& value, bool is_file, bool overwrite);
// The pipelines of `ref` updated within the last `last_minutes` (all pages), or no value.
ZORV_GIT_GITLAB_API std::optional<Json> get_pipeline_status(Context& ctx, const std::string& project_name,
                                                            std::int64_t group_id, const std::string& ref,
                                                            std::int64_t last_minutes);
ZORV_GIT_GITLAB_API std::optional<Json> get_single_pipeline_status(Context& ctx, const Id& project_id,
                                                                   const Id& pipeline_id);
ZORV_GIT_GITLAB_API std::optional<Json> retry_single_pipeline(Context& ctx, const Id& project_id,
                                                              const Id& pipeline_id);

// --- Issues -------------------------------------------------------------------------------------
ZORV_GIT_GITLAB_API std::optional<Json> create_issue(Context& ctx, const std::string& project_name,
                                                     std::int64_t group_id, const std::string& title,
                                                     const std::string& issue_type,
                                                     const std::vector<std::string>& labels);
ZORV_GIT_GITLAB_API std::optional<Json> close_issue(Context& ctx, const std::string& project_name,
                                                    std::int64_t group_id, std::int64_t issue_id);
ZORV_GIT_GITLAB_API std::optional<Json> create_note(Context& ctx, const std::string& project_name,
                                                    std::int64_t group_id, std::int64_t issue_id,
                                                    const std::string& note_body);

}  // namespace zorv_git_gitlab::ops

// The generator reads the declarations above before it has written their defaults.
#ifndef ZORV_GIT_GITLAB_GENERATING
#include "zorv_git_gitlab/operation_defaults.hpp"
#endif
