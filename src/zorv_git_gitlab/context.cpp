// The Context's defaults (the library's own output and inner calls), and redaction.
#include "zorv_git_gitlab/context.hpp"

#include <cstdlib>
#include <typeinfo>

#include "output.hpp"
#include "zorv_git/git.hpp"
#include "zorv_git_gitlab/credentials.hpp"
#include "zorv_git_gitlab/operations.hpp"

namespace zorv_git_gitlab {

std::string redact(std::string_view text, const std::vector<std::string>& secrets) {
    constexpr std::string_view marker = "[REDACTED]";
    std::string out(text);
    for (const auto& secret : secrets) {
        if (secret.empty()) continue;
        for (auto at = out.find(secret); at != std::string::npos; at = out.find(secret, at + marker.size())) {
            out.replace(at, secret.size(), marker);
        }
    }
    return out;
}

bool Context::redefines(InnerCall) const noexcept { return true; }
bool FixedContext::redefines(InnerCall) const noexcept { return typeid(*this) != typeid(FixedContext); }

void Context::print_line(std::string_view line) { write_stdout_line(line); }
void Context::log(LogLevel level, std::string_view message) { emit_log(level, message); }
bool Context::log_enabled(LogLevel level) const { return default_log_enabled(level); }
void Context::report(const Outcome&) {}

std::optional<Json> Context::get_project_info(const std::string& project_name, std::int64_t group_id) {
    return ops::get_project_info(*this, project_name, group_id);
}
std::optional<Json> Context::get_sub_group_info(const std::string& group_name, std::int64_t parent_id) {
    return ops::get_sub_group_info(*this, group_name, parent_id);
}
std::optional<Json> Context::get_branch_info(const std::string& project_name, std::int64_t group_id,
                                             const std::string& branch_name) {
    return ops::get_branch_info(*this, project_name, group_id, branch_name);
}
std::optional<Json> Context::get_tag_info(const std::string& tag_name, const std::string& project_name,
                                          std::int64_t group_id) {
    return ops::get_tag_info(*this, tag_name, project_name, group_id);
}
void Context::commit_file(const std::string& project_name, std::int64_t group_id, const std::string& filename,
                          const std::string& file_content) {
    ops::commit_file(*this, project_name, group_id, filename, file_content);
}
bool Context::clean_workspace(const std::string& path, bool destroy) {
    return zorv_git::Git::clean_workspace(path, destroy);
}
bool Context::token_from_environment() const { return false; }
bool Context::show_progress() const { return false; }

std::optional<std::string> Context::clone_token() const {
    Config current = config();
    // GITLAB_TOKEN belongs to the server GITLAB_HOST names: read again only for that server, so that a
    // context still on another server never hands it over.
    const char* host = std::getenv("GITLAB_HOST");
    if (token_from_environment() && host && server_of(current.api_url) == "https://" + std::string(host)) {
        if (const char* token = std::getenv("GITLAB_TOKEN")) return std::string(token);
        return std::nullopt;
    }
    return std::move(current.token);
}

}  // namespace zorv_git_gitlab
