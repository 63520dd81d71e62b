// GitlabGit's class attributes, its default context, and the table that binds each class-level
// operation to its implementation.
#include "zorv_git_gitlab/git.hpp"

#include <cstdlib>

#include "rest/output.hpp"
#include "zorv_git_gitlab/operations.hpp"

namespace zorv_git_gitlab {
namespace {

std::string api_url_from_environment() {
    const char* host = std::getenv("GITLAB_HOST");
    return std::string("https://") + (host ? host : "None") + "/api/v4/";
}

std::optional<std::string> token_from_environment() {
    const char* token = std::getenv("GITLAB_TOKEN");
    if (!token) return std::nullopt;
    return std::string(token);
}

Settings default_settings() { return Settings{}; }

// Reads the class attributes at the moment of each call.
class DefaultContext final : public Context {
public:
    [[nodiscard]] Config config() const override {
        return Config{GitlabGit::api_url.get(), GitlabGit::gitlab_token.get(), GitlabGit::settings.get()};
    }
    [[nodiscard]] bool redefines(InnerCall) const noexcept override { return false; }
};

}  // namespace

const std::vector<std::string> GitlabGit::PIPELINE_END_STATUS{"success", "failed", "canceled", "skipped"};
Attribute<std::string> GitlabGit::api_url{&api_url_from_environment};
Attribute<std::optional<std::string>> GitlabGit::gitlab_token{&token_from_environment};
Attribute<Settings> GitlabGit::settings{&default_settings};

Context& GitlabGit::default_context() {
    static DefaultContext context;
    return context;
}

void GitlabGit::set_log_handler(LogHandler handler) { rest::install_log_handler(std::move(handler)); }

// ---- The operation table -----------------------------------------------------------------------------

#define ZORV_FORWARD(name, ...) return ops::name(default_context(), __VA_ARGS__)

bool GitlabGit::create_sub_group(const std::string& group_name, std::int64_t parent_id) {
    ZORV_FORWARD(create_sub_group, group_name, parent_id);
}
bool GitlabGit::delete_sub_group(const std::string& group_name, std::int64_t parent_id) {
    ZORV_FORWARD(delete_sub_group, group_name, parent_id);
}
std::optional<std::int64_t> GitlabGit::get_sub_group_id(const std::string& group_name, std::int64_t parent_id,
                                                        bool raise_error) {
    ZORV_FORWARD(get_sub_group_id, group_name, parent_id, raise_error);
}
std::optional<Json> GitlabGit::get_sub_group_info(const std::string& group_name, std::int64_t parent_id) {
    ZORV_FORWARD(get_sub_group_info, group_name, parent_id);
}
std::optional<std::string> GitlabGit::create_repo_token(std::int64_t user_id, const std::string& token_name) {
    ZORV_FORWARD(create_repo_token, user_id, token_name);
}
std::optional<std::string> GitlabGit::create_group_access_token(std::int64_t group_id,
                                                                const std::string& token_name) {
    ZORV_FORWARD(create_group_access_token, group_id, token_name);
}
std::optional<Json> GitlabGit::get_access_token_info(std::int64_t group_id, const std::string& token_name) {
    ZORV_FORWARD(get_access_token_info, group_id, token_name);
}
void GitlabGit::create_project(const std::string& project_name, std::int64_t group_id) {
    ZORV_FORWARD(create_project, project_name, group_id);
}
std::optional<Json> GitlabGit::get_project_info(const std::string& project_name, std::int64_t group_id) {
    ZORV_FORWARD(get_project_info, project_name, group_id);
}
void GitlabGit::delete_project(const std::string& project_name, std::int64_t group_id) {
    ZORV_FORWARD(delete_project, project_name, group_id);
}
std::optional<Json> GitlabGit::get_branch_info(const std::string& project_name, std::int64_t group_id,
                                               const std::string& branch_name) {
    ZORV_FORWARD(get_branch_info, project_name, group_id, branch_name);
}
std::optional<Json> GitlabGit::create_branch(const std::string& project_name, std::int64_t group_id,
                                             const std::string& branch_name, const std::string& ref) {
    ZORV_FORWARD(create_branch, project_name, group_id, branch_name, ref);
}
void GitlabGit::delete_branch(const std::string& project_name, std::int64_t group_id,
                              const std::string& branch_name) {
    ZORV_FORWARD(delete_branch, project_name, group_id, branch_name);
}
void GitlabGit::commit_file(const std::string& project_name, std::int64_t group_id, const std::string& filename,
                            const std::string& file_content) {
    ZORV_FORWARD(commit_file, project_name, group_id, filename, file_content);
}
std::string GitlabGit::clone_project(const std::string& repo_dir, const std::string& project_name,
                                     std::int64_t group_id, bool overwrite, const std::optional<std::string>& branch) {
    ZORV_FORWARD(clone_project, repo_dir, project_name, group_id, overwrite, branch);
}
void GitlabGit::commit_project(const std::string& repo_dir, const std::string& commit_message,
                               const std::string& project_name, const std::string& remote_branch,
                               std::int64_t group_id, const std::optional<std::string>& author_name,
                               const std::optional<std::string>& author_email) {
    ZORV_FORWARD(commit_project, repo_dir, commit_message, project_name, remote_branch, group_id, author_name,
                 author_email);
}
std::optional<Json> GitlabGit::create_merge_request(const std::string& project_name, std::int64_t group_id,
                                                    const std::string& title, const std::string& source_branch,
                                                    const std::string& target_branch) {
    ZORV_FORWARD(create_merge_request, project_name, group_id, title, source_branch, target_branch);
}
std::optional<Json> GitlabGit::perform_merge(const std::string& project_name, std::int64_t group_id,
                                             std::int64_t merge_request_id, const std::string& title,
                                             double timeout) {
    ZORV_FORWARD(perform_merge, project_name, group_id, merge_request_id, title, timeout);
}
std::optional<Json> GitlabGit::get_commits_by_range(const std::string& start_ref, const std::string& end_ref,
                                                    const std::string& project_name, std::int64_t group_id) {
    ZORV_FORWARD(get_commits_by_range, start_ref, end_ref, project_name, group_id);
}
std::optional<Json> GitlabGit::get_tag_list(const std::string& project_name, std::int64_t group_id) {
    ZORV_FORWARD(get_tag_list, project_name, group_id);
}
std::optional<Json> GitlabGit::get_tag_info(const std::string& tag_name, const std::string& project_name,
                                            std::int64_t group_id) {
    ZORV_FORWARD(get_tag_info, tag_name, project_name, group_id);
}
void GitlabGit::tag_project(const std::string& tag_name, const std::string& project_name,
                            const std::string& remote_branch, std::int64_t group_id) {
    ZORV_FORWARD(tag_project, tag_name, project_name, remote_branch, group_id);
}
std::optional<Json> GitlabGit::get_project_variable(const std::string& project_name, const std::string& key,
                                                    std::int64_t group_id) {
    ZORV_FORWARD(get_project_variable, project_name, key, group_id);
}
void GitlabGit::set_project_variable(const std::string& project_name, const std::string& key,
                                     const std::string& value, std::int64_t group_id, bool is_file, bool overwrite) {
    ZORV_FORWARD(set_project_variable, project_name, key, value, group_id, is_file, overwrite);
}
std::optional<Json> GitlabGit::get_group_variable(std::int64_t group_id, const std::string& key) {
    ZORV_FORWARD(get_group_variable, group_id, key);
}
void GitlabGit::set_group_variable(std::int64_t group_id, const std::string& key, const std::string& value,
                                   bool is_file, bool overwrite) {
    ZORV_FORWARD(set_group_variable, group_id, key, value, is_file, overwrite);
}
std::optional<Json> GitlabGit::get_pipeline_status(const std::string& project_name, std::int64_t group_id,
                                                   const std::string& ref, std::int64_t last_minutes) {
    ZORV_FORWARD(get_pipeline_status, project_name, group_id, ref, last_minutes);
}
std::optional<Json> GitlabGit::get_single_pipeline_status(const Id& project_id, const Id& pipeline_id) {
    ZORV_FORWARD(get_single_pipeline_status, project_id, pipeline_id);
}
std::optional<Json> GitlabGit::retry_single_pipeline(const Id& project_id, const Id& pipeline_id) {
    ZORV_FORWARD(retry_single_pipeline, project_id, pipeline_id);
}
std::optional<Json> GitlabGit::create_issue(const std::string& project_name, std::int64_t group_id,
                                            const std::string& title, const std::string& issue_type,
                                            const std::vector<std::string>& labels) {
    ZORV_FORWARD(create_issue, project_name, group_id, title, issue_type, labels);
}
std::optional<Json> GitlabGit::close_issue(const std::string& project_name, std::int64_t group_id,
                                           std::int64_t issue_id) {
    ZORV_FORWARD(close_issue, project_name, group_id, issue_id);
}
std::optional<Json> GitlabGit::create_note(const std::string& project_name, std::int64_t group_id,
                                           std::int64_t issue_id, const std::string& note_body) {
    ZORV_FORWARD(create_note, project_name, group_id, issue_id, note_body);
}

#undef ZORV_FORWARD

}  // namespace zorv_git_gitlab
