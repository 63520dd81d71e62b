// Who makes a request: tokens, their scopes, and the project a route names.
#include "server.hpp"

#include <algorithm>

namespace zorv_sandbox {

// The scopes that admit a request (lib/api/api.rb: `allow_access_with_scope :api` and `:read_api`
// for GET and HEAD; lib/api/users.rb adds `:read_user` for reading users) and GitLab's refusal when
// the token holds none of them (lib/api/api_guard.rb, Gitlab::Auth::InsufficientScopeError: 403 with
// Rack::OAuth2's insufficient_scope body, "scope" listing the scopes that would do).
void check_scopes(const Caller& caller, std::string_view method, std::string_view raw_path) {
    std::vector<std::string> allowed;
    const bool read = method == "GET";
    if (read && (raw_path == "/api/v4/user" || raw_path.starts_with("/api/v4/users"))) allowed.emplace_back("read_user");
    allowed.emplace_back("api");
    if (read) allowed.emplace_back("read_api");
    for (const auto& scope : caller.scopes) {
        if (std::find(allowed.begin(), allowed.end(), scope.get<std::string>()) != allowed.end()) return;
    }
    std::string needed;
    for (const auto& scope : allowed) needed += (needed.empty() ? "" : " ") + scope;
    throw ApiError(403, Json{{"error", "insufficient_scope"},
                             {"error_description", "The request requires higher privileges than provided by the access token."},
                             {"scope", needed}});
}

// ---------------------------------------------------------------------------------------------
// Authentication and lookups

bool token_active(const Json& record) {
    if (record.value("revoked", false)) return false;
    const Json expires = record.value("expires_at", Json(nullptr));
    return !expires.is_string() || expires.get<std::string>() > date_in_days(0);
}

std::optional<Caller> Sandbox::authenticate(std::string_view secret) const {
    std::lock_guard lock(state_mutex_);
    const auto it = state_.token_ids.find(std::string(secret));
    if (it == state_.token_ids.end()) return std::nullopt;
    const auto& token = state_.tokens.at(it->second);
    if (!token_active(token.record)) return std::nullopt;
    const auto user_id = token.record["user_id"].get<std::int64_t>();
    const auto user = state_.users.find(user_id);
    if (user == state_.users.end() || user->second.record.value("state", std::string{"active"}) != "active") {
        return std::nullopt;
    }
    Caller c;
    c.user_id = user_id;
    c.token_id = it->second;
    c.admin = user->second.admin;
    c.group_id = token.group_id;
    c.scopes = token.record["scopes"];
    return c;
}

std::optional<ProjectRef> Sandbox::resolve_project(std::string_view id_or_path) {
    if (id_or_path.empty()) return std::nullopt;
    std::optional<ProjectRef> project;
    bool made = true;
    {
        std::lock_guard lock(state_mutex_);
        const ProjectEntry* found = nullptr;
        if (const auto id = numeric_id(id_or_path)) {
            const auto it = state_.projects.find(*id);
            if (it != state_.projects.end()) found = &it->second;
        } else {
            const std::string wanted = lower_ascii(id_or_path);
            for (const auto& [id, p] : state_.projects) {
                if (lower_ascii(p.record["path_with_namespace"].get<std::string>()) == wanted) {
                    found = &p;
                    break;
                }
            }
        }
        if (found == nullptr) return std::nullopt;
        made = found->repository_made;
        project = ProjectRef{found->record["id"].get<std::int64_t>(), found->record, repository_path(found->record)};
    }
    if (!made) make_pending_repository(*project);
    return project;
}

}  // namespace zorv_sandbox
