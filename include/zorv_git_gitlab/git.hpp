// GitlabGit: automates a GitLab server through its REST API (v4) and drives local git working copies
// of its projects. Every operation is a class-level function; no instance is ever created. Each runs
// the function of the same name of operations.hpp with the default context.
//
// Conventions shared by the operations:
// - Projects are named by `project_name` within the group `group_id` and found with get_project_info,
//   which follows the search pages until it finds the exact name in that group. Operations that need
//   the project raise ProjectNotFoundError when it is missing, before any further request.
// - A refused request (an unexpected status) is never raised: the operation prints its failure line
//   (message, one space, the server's answer) on standard output and returns no value or false.
// - Transport faults raise TransportError subclasses; an undecodable success answer raises
//   JsonDecodeError; a success answer without a field the operation reads raises MissingFieldError.
// - Configuration (api_url, gitlab_token, settings) is read at the moment of each call.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zorv_git/git.hpp"
#include "zorv_git_gitlab/attribute.hpp"
#include "zorv_git_gitlab/context.hpp"
#include "zorv_git_gitlab/errors.hpp"
#include "zorv_git_gitlab/id.hpp"
#include "zorv_git_gitlab/json.hpp"
#include "zorv_git_gitlab/operations.hpp"

namespace zorv_git_gitlab {

using LogHandler = std::function<void(LogLevel, std::string_view)>;

class GitlabGit : public zorv_git::Git {
public:
    GitlabGit() = delete;

    // The pipeline states that end a pipeline: success, failed, canceled, skipped.
    static const std::vector<std::string> PIPELINE_END_STATUS;
    // "https://" + GITLAB_HOST (the text None when unset, inserted unchanged) + "/api/v4/", computed on
    // first use; may be assigned.
    static Attribute<std::string> api_url;
    // GITLAB_TOKEN, or no value when unset (requests then go out without PRIVATE-TOKEN); may be assigned.
    static Attribute<std::optional<std::string>> gitlab_token;
    // Time limits, retries and the merge poll interval of the default context; may be assigned.
    static Attribute<Settings> settings;

    // The context the class-level operations run with.
    static Context& default_context();
    // Receives the library's log records (perform_merge's INFO records). Without a handler, records
    // below WARNING are dropped and the others go to standard error. An empty function restores that.
    static void set_log_handler(LogHandler handler);

    // --- Groups and access tokens -------------------------------------------------------------------
    // Creates subgroup `group_name` (also its path) under `parent_id`. True on 201, else prints
    // "Failed to create subgroup. Response:" and the answer, and returns false.
    static bool create_sub_group(const std::string& group_name, std::int64_t parent_id) {
        return ops::create_sub_group(default_context(), group_name, parent_id);
    }
    // Deletes the subgroup found by get_sub_group_info. True when deleted (202/204) or not found
    // ("Subgroup Not Found"), false when refused.
    static bool delete_sub_group(const std::string& group_name, std::int64_t parent_id) {
        return ops::delete_sub_group(default_context(), group_name, parent_id);
    }
    // The subgroup's id, or no value; with raise_error a missing subgroup raises SubgroupNotFoundError.
    static std::optional<std::int64_t> get_sub_group_id(const std::string& group_name, std::int64_t parent_id,
                                                        bool raise_error = false) {
        return ops::get_sub_group_id(default_context(), group_name, parent_id, raise_error);
    }
    // The record of the direct subgroup named exactly `group_name` (all pages searched), or no value.
    static std::optional<Json> get_sub_group_info(const std::string& group_name, std::int64_t parent_id) {
        return ops::get_sub_group_info(default_context(), group_name, parent_id);
    }
    // Mints a personal access token (scope read_api) for a user (administrators only); its secret, or no value.
    static std::optional<std::string> create_repo_token(std::int64_t user_id, const std::string& token_name) {
        return ops::create_repo_token(default_context(), user_id, token_name);
    }
    // Mints a group access token (access level 50, api and repository scopes); its secret, or no value.
    static std::optional<std::string> create_group_access_token(std::int64_t group_id,
                                                                const std::string& token_name) {
        return ops::create_group_access_token(default_context(), group_id, token_name);
    }
    // The group's first token record named exactly `token_name` (all pages searched), or no value.
    static std::optional<Json> get_access_token_info(std::int64_t group_id, const std::string& token_name) {
        return ops::get_access_token_info(default_context(), group_id, token_name);
    }

    // --- Projects, branches and files ---------------------------------------------------------------
    // Creates an internal project and commits README.md ("Hello World") to master in it.
    static void create_project(const std::string& project_name, std::int64_t group_id) {
        return ops::create_project(default_context(), project_name, group_id);
    }
    // The project named exactly `project_name` in group `group_id`, or no value (prints nothing).
    static std::optional<Json> get_project_info(const std::string& project_name, std::int64_t group_id) {
        return ops::get_project_info(default_context(), project_name, group_id);
    }
    // Deletes the project; prints whether it was accepted, refused or missing.
    static void delete_project(const std::string& project_name, std::int64_t group_id) {
        return ops::delete_project(default_context(), project_name, group_id);
    }
    // The branch record, or no value.
    static std::optional<Json> get_branch_info(const std::string& project_name, std::int64_t group_id,
                                               const std::string& branch_name) {
        return ops::get_branch_info(default_context(), project_name, group_id, branch_name);
    }
    // Creates the branch from `ref` unless it exists; the new branch record, or no value.
    static std::optional<Json> create_branch(const std::string& project_name, std::int64_t group_id,
                                             const std::string& branch_name, const std::string& ref = "master") {
        return ops::create_branch(default_context(), project_name, group_id, branch_name, ref);
    }
    // Deletes the branch if it exists; prints the outcome.
    static void delete_branch(const std::string& project_name, std::int64_t group_id,
                              const std::string& branch_name) {
        return ops::delete_branch(default_context(), project_name, group_id, branch_name);
    }
    // Commits one new file (the text `file_content`) to master; prints the outcome.
    static void commit_file(const std::string& project_name, std::int64_t group_id, const std::string& filename,
                            const std::string& file_content) {
        return ops::commit_file(default_context(), project_name, group_id, filename, file_content);
    }

    // --- Working copies -----------------------------------------------------------------------------
    // Clones the project into `repo_dir` (cleared first when not empty and `overwrite`, else
    // DirectoryNotEmptyError); returns the working copy's directory. Raises GitError when git fails.
    static std::string clone_project(const std::string& repo_dir, const std::string& project_name,
                                     std::int64_t group_id, bool overwrite = true,
                                     const std::optional<std::string>& branch = std::nullopt) {
        return ops::clone_project(default_context(), repo_dir, project_name, group_id, overwrite, branch);
    }
    // Publishes every local change of the working copy to `remote_branch` as one API commit.
    static void commit_project(const std::string& repo_dir, const std::string& commit_message,
                               const std::string& project_name, const std::string& remote_branch,
                               std::int64_t group_id, const std::optional<std::string>& author_name = std::nullopt,
                               const std::optional<std::string>& author_email = std::nullopt) {
        return ops::commit_project(default_context(), repo_dir, commit_message, project_name, remote_branch, group_id,
                                   author_name, author_email);
    }

    // --- Merge requests, tags and history -----------------------------------------------------------
    // Opens a merge request; its record, or no value.
    static std::optional<Json> create_merge_request(const std::string& project_name, std::int64_t group_id,
                                                    const std::string& title, const std::string& source_branch,
                                                    const std::string& target_branch = "master") {
        return ops::create_merge_request(default_context(), project_name, group_id, title, source_branch,
                                         target_branch);
    }
    // Waits (polling every merge_poll_interval, within `timeout` seconds) until the server has checked the
    // merge request, then merges it with message `title`, removing the source branch. The merged
    // record, or no value; MergeTimeoutError when the check does not end in time.
    static std::optional<Json> perform_merge(const std::string& project_name, std::int64_t group_id,
                                             std::int64_t merge_request_id, const std::string& title,
                                             double timeout = 60) {
        return ops::perform_merge(default_context(), project_name, group_id, merge_request_id, title, timeout);
    }
    // The commits of start_ref...end_ref (all pages), or no value.
    static std::optional<Json> get_commits_by_range(const std::string& start_ref, const std::string& end_ref,
                                                    const std::string& project_name, std::int64_t group_id) {
        return ops::get_commits_by_range(default_context(), start_ref, end_ref, project_name, group_id);
    }
    // The project's tags ordered by version (all pages), or no value.
    static std::optional<Json> get_tag_list(const std::string& project_name, std::int64_t group_id) {
        return ops::get_tag_list(default_context(), project_name, group_id);
    }
    // The tag record, or no value.
    static std::optional<Json> get_tag_info(const std::string& tag_name, const std::string& project_name,
                                            std::int64_t group_id) {
        return ops::get_tag_info(default_context(), tag_name, project_name, group_id);
    }
    // Tags `remote_branch` unless the tag exists; prints the outcome.
    static void tag_project(const std::string& tag_name, const std::string& project_name,
                            const std::string& remote_branch, std::int64_t group_id) {
        return ops::tag_project(default_context(), tag_name, project_name, remote_branch, group_id);
    }

    // --- CI/CD --------------------------------------------------------------------------------------
    static std::optional<Json> get_project_variable(const std::string& project_name, const std::string& key,
                                                    std::int64_t group_id) {
        return ops::get_project_variable(default_context(), project_name, key, group_id);
    }
    // Creates or (with `overwrite`) updates the variable; prints the outcome. Masked exactly when not a
    // file and the value is maskable (8+ characters of a-zA-Z0-9_+=/@:.~-).
    static void set_project_variable(const std::string& project_name, const std::string& key,
                                     const std::string& value, std::int64_t group_id, bool is_file = false,
                                     bool overwrite = true) {
        return ops::set_project_variable(default_context(), project_name, key, value, group_id, is_file, overwrite);
    }
    static std::optional<Json> get_group_variable(std::int64_t group_id, const std::string& key) {
        return ops::get_group_variable(default_context(), group_id, key);
    }
    static void set_group_variable(std::int64_t group_id, const std::string& key, const std::string& value,
                                   bool is_file = false, bool overwrite = true) {
        return ops::set_group_variable(default_context(), group_id, key, value, is_file, overwrite);
    }
    // The pipelines of `ref` updated within the last `last_minutes` (all pages), or no value.
    static std::optional<Json> get_pipeline_status(const std::string& project_name, std::int64_t group_id,
                                                   const std::string& ref = "master",
                                                   std::int64_t last_minutes = 1440) {
        return ops::get_pipeline_status(default_context(), project_name, group_id, ref, last_minutes);
    }
    static std::optional<Json> get_single_pipeline_status(const Id& project_id, const Id& pipeline_id) {
        return ops::get_single_pipeline_status(default_context(), project_id, pipeline_id);
    }
    static std::optional<Json> retry_single_pipeline(const Id& project_id, const Id& pipeline_id) {
        return ops::retry_single_pipeline(default_context(), project_id, pipeline_id);
    }

    // --- Issues -------------------------------------------------------------------------------------
    static std::optional<Json> create_issue(const std::string& project_name, std::int64_t group_id,
                                            const std::string& title, const std::string& issue_type,
                                            const std::vector<std::string>& labels = {}) {
        return ops::create_issue(default_context(), project_name, group_id, title, issue_type, labels);
    }
    static std::optional<Json> close_issue(const std::string& project_name, std::int64_t group_id,
                                           std::int64_t issue_id) {
        return ops::close_issue(default_context(), project_name, group_id, issue_id);
    }
    static std::optional<Json> create_note(const std::string& project_name, std::int64_t group_id,
                                           std::int64_t issue_id, const std::string& note_body) {
        return ops::create_note(default_context(), project_name, group_id, issue_id, note_body);
    }
};

}  // namespace zorv_git_gitlab
