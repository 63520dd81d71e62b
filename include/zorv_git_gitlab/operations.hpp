// Every operation of GitlabGit as a function of an explicit context (context.hpp). GitlabGit's
// class-level operations call these with the default context; a caller with a context of its own
// calls them directly. Parameters, results and errors are those of GitlabGit (git.hpp).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "zorv_git_gitlab/context.hpp"
#include "zorv_git_gitlab/id.hpp"
#include "zorv_git_gitlab/json.hpp"

namespace zorv_git_gitlab::ops {

// Groups and access tokens
bool create_sub_group(Context& ctx, const std::string& group_name, std::int64_t parent_id);
bool delete_sub_group(Context& ctx, const std::string& group_name, std::int64_t parent_id);
std::optional<std::int64_t> get_sub_group_id(Context& ctx, const std::string& group_name, std::int64_t parent_id,
                                             bool raise_error = false);
std::optional<Json> get_sub_group_info(Context& ctx, const std::string& group_name, std::int64_t parent_id);
std::optional<std::string> create_repo_token(Context& ctx, std::int64_t user_id, const std::string& token_name);
std::optional<std::string> create_group_access_token(Context& ctx, std::int64_t group_id,
                                                     const std::string& token_name);
std::optional<Json> get_access_token_info(Context& ctx, std::int64_t group_id, const std::string& token_name);

// Projects, branches and files
void create_project(Context& ctx, const std::string& project_name, std::int64_t group_id);
std::optional<Json> get_project_info(Context& ctx, const std::string& project_name, std::int64_t group_id);
void delete_project(Context& ctx, const std::string& project_name, std::int64_t group_id);
std::optional<Json> get_branch_info(Context& ctx, const std::string& project_name, std::int64_t group_id,
                                    const std::string& branch_name);
std::optional<Json> create_branch(Context& ctx, const std::string& project_name, std::int64_t group_id,
                                  const std::string& branch_name, const std::string& ref = "master");
void delete_branch(Context& ctx, const std::string& project_name, std::int64_t group_id,
                   const std::string& branch_name);
void commit_file(Context& ctx, const std::string& project_name, std::int64_t group_id, const std::string& filename,
                 const std::string& file_content);

// Working copies
std::string clone_project(Context& ctx, const std::string& repo_dir, const std::string& project_name,
                          std::int64_t group_id, bool overwrite = true,
                          const std::optional<std::string>& branch = std::nullopt);
void commit_project(Context& ctx, const std::string& repo_dir, const std::string& commit_message,
                    const std::string& project_name, const std::string& remote_branch, std::int64_t group_id,
                    const std::optional<std::string>& author_name = std::nullopt,
                    const std::optional<std::string>& author_email = std::nullopt);

// Merge requests, tags and history
std::optional<Json> create_merge_request(Context& ctx, const std::string& project_name, std::int64_t group_id,
                                         const std::string& title, const std::string& source_branch,
                                         const std::string& target_branch = "master");
std::optional<Json> perform_merge(Context& ctx, const std::string& project_name, std::int64_t group_id,
                                  std::int64_t merge_request_id, const std::string& title, double timeout = 60);
std::optional<Json> get_commits_by_range(Context& ctx, const std::string& start_ref, const std::string& end_ref,
                                         const std::string& project_name, std::int64_t group_id);
std::optional<Json> get_tag_list(Context& ctx, const std::string& project_name, std::int64_t group_id);
std::optional<Json> get_tag_info(Context& ctx, const std::string& tag_name, const std::string& project_name,
                                 std::int64_t group_id);
void tag_project(Context& ctx, const std::string& tag_name, const std::string& project_name,
                 const std::string& remote_branch, std::int64_t group_id);

// CI/CD
std::optional<Json> get_project_variable(Context& ctx, const std::string& project_name, const std::string& key,
                                         std::int64_t group_id);
void set_project_variable(Context& ctx, const std::string& project_name, const std::string& key,
                          const std::string& value, std::int64_t group_id, bool is_file = false,
                          bool overwrite = true);
std::optional<Json> get_group_variable(Context& ctx, std::int64_t group_id, const std::string& key);
void set_group_variable(Context& ctx, std::int64_t group_id, const std::string& key, const std::string& value,
                        bool is_file = false, bool overwrite = true);
std::optional<Json> get_pipeline_status(Context& ctx, const std::string& project_name, std::int64_t group_id,
                                        const std::string& ref = "master", std::int64_t last_minutes = 1440);
std::optional<Json> get_single_pipeline_status(Context& ctx, const Id& project_id, const Id& pipeline_id);
std::optional<Json> retry_single_pipeline(Context& ctx, const Id& project_id, const Id& pipeline_id);

// Issues
std::optional<Json> create_issue(Context& ctx, const std::string& project_name, std::int64_t group_id,
                                 const std::string& title, const std::string& issue_type,
                                 const std::vector<std::string>& labels = {});
std::optional<Json> close_issue(Context& ctx, const std::string& project_name, std::int64_t group_id,
                                std::int64_t issue_id);
std::optional<Json> create_note(Context& ctx, const std::string& project_name, std::int64_t group_id,
                                std::int64_t issue_id, const std::string& note_body);

}  // namespace zorv_git_gitlab::ops
