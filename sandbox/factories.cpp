// The builders of the records the core makes itself: users, tokens (and the checks of their
// parameters), pipelines.
#include "server.hpp"

#include "repository/object_files.hpp"

#include <algorithm>

namespace zorv_sandbox {

Json Sandbox::user_record(const State& state, std::int64_t user_id, bool detailed) const {
    const auto it = state.users.find(user_id);
    if (it == state.users.end()) return nullptr;
    const Json& r = it->second.record;
    Json out = Json::object();
    for (const char* key : {"id", "username", "public_email", "name", "state", "locked", "avatar_url", "web_url"}) {
        out[key] = r.contains(key) ? r[key] : Json(nullptr);
    }
    if (detailed) {
        for (const auto& [k, v] : r.items()) {
            if (!out.contains(k)) out[k] = v;
        }
        out["is_admin"] = it->second.admin;
    }
    return out;
}

namespace {

bool username_taken(const State& s, const std::string& username) {
    const auto wanted = lower_ascii(username);
    for (const auto& [id, u] : s.users) {
        if (lower_ascii(u.record["username"].get<std::string>()) == wanted) return true;
    }
    return false;
}

// A user without an uploaded avatar shows Gravatar's (GravatarService, app/services/gravatar_service.rb:
// SHA-256 of the e-mail address, else of the username, in lower case; the default ssl_url of
// config/gitlab.yml, s = 40 x 2, an identicon where Gravatar has none).
std::string gravatar_url(const std::string& identifier) {
    return "https://secure.gravatar.com/avatar/" + repo::object_files::sha256_hex(lower_ascii(identifier)) +
           "?s=80&d=identicon";
}

std::string user_email(const NewUser& user) { return user.username + "@sandbox.invalid"; }

// A new user's record: the basic fields and created_at, then for a person (not a bot) the fields
// GET /user shows besides them.
Json new_user_record(const std::string& base, std::int64_t id, const NewUser& user) {
    const auto now = now_iso();
    Json r = Json{{"id", id},
                  {"username", user.username},
                  {"public_email", nullptr},
                  {"name", user.name},
                  {"state", "active"},
                  {"locked", false},
                  {"avatar_url", gravatar_url(user.bot ? user.username : user_email(user))},
                  {"web_url", base + "/" + user.username},
                  {"created_at", now}};
    if (user.bot) {
        r["bot"] = true;
        return r;
    }
    r.update(Json{{"bio", ""},
                  {"location", ""},
                  {"skype", ""},
                  {"linkedin", ""},
                  {"twitter", ""},
                  {"website_url", ""},
                  {"organization", ""},
                  {"job_title", ""},
                  {"bot", false},
                  {"last_sign_in_at", nullptr},
                  {"confirmed_at", now},
                  {"last_activity_on", nullptr},
                  {"email", user_email(user)},
                  {"projects_limit", 100000},
                  {"current_sign_in_at", nullptr},
                  {"identities", Json::array()},
                  {"can_create_group", true},
                  {"can_create_project", true},
                  {"two_factor_enabled", false},
                  {"external", false},
                  {"private_profile", false}});
    return r;
}

}  // namespace

std::int64_t add_user(State& s, const std::string& base_url, const NewUser& user) {
    const auto id = s.next_user_id++;
    UserEntry& u = s.users[id];
    u.admin = user.admin;
    u.namespace_id = s.next_namespace_id++;
    u.record = new_user_record(base_url, id, user);
    return id;
}

Json Sandbox::create_user(const std::string& username, const std::string& name, bool admin) {
    if (username.empty()) throw ApiError::error(400, "username is missing");
    const auto base = base_url();
    return write([&](State& s) {
        if (username_taken(s, username)) throw ApiError::message(409, "Username has already been taken");
        const auto id = add_user(s, base, NewUser{.username = username, .name = name.empty() ? username : name,
                                                  .admin = admin});
        const Json token = mint_token(s, {.name = "sandbox",
                                          .scopes = Json::array({"api", "read_user", "read_api", "read_repository",
                                                                 "write_repository"}),
                                          .user_id = id,
                                          .expires_at = date_in_days(365)});
        auto out = user_record(s, id, true);
        out["token"] = token["token"];
        return out;
    });
}

Json mint_token(State& s, const NewToken& token) {
    TokenEntry t;
    const auto id = s.next_token_id++;
    t.secret = token.secret.empty() ? "glpat-" + random_hex(10) : token.secret;
    t.record = Json{{"id", id},
                    {"name", token.name},
                    {"revoked", false},
                    {"created_at", now_iso()},
                    {"description", token.description},
                    {"scopes", token.scopes},
                    {"user_id", token.user_id},
                    {"last_used_at", nullptr},
                    {"active", true},
                    {"granular", false},  // PersonalAccessToken#granular: no fine-grained permissions here
                    {"expires_at", token.expires_at}};
    if (token.group) {
        t.group_id = token.group->group_id;
        t.record["access_level"] = token.group->access_level;
        t.record["resource_type"] = "group";
        t.record["resource_id"] = token.group->group_id;
    }
    Json answer = present_token(t.record);
    answer["token"] = t.secret;
    s.token_ids[t.secret] = id;
    s.tokens[id] = std::move(t);
    return answer;
}

Json present_token(const Json& record) {
    Json out = record;
    out["active"] = token_active(record);
    return out;
}

Json instance_scopes(const Sandbox& sandbox, const Json& all) {
    Json out = Json::array();
    for (const auto& scope : all) {
        if (sandbox.registry() || (scope != "read_registry" && scope != "write_registry")) out.push_back(scope);
    }
    return out;
}

Json checked_scopes(const Json& p, const Json& allowed) {
    require_params(p, {"scopes"});
    Json scopes = p["scopes"];
    if (scopes.is_string()) scopes = Json::array({scopes});
    if (!scopes.is_array()) throw ApiError::error(400, "scopes is invalid");
    for (const auto& s : scopes) {
        if (std::find(allowed.begin(), allowed.end(), s) == allowed.end()) {
            throw ApiError::error(400, "scopes does not have a valid value");
        }
    }
    return scopes;
}

std::string checked_expiry(const Json& p) {
    const auto text = param_string(p, "expires_at");
    if (!text || text->empty()) return date_in_days(365);
    const auto t = parse_iso(*text);
    if (!t) throw ApiError::error(400, "expires_at is invalid");
    return iso_from(*t).substr(0, 10);
}

Json Sandbox::add_pipeline(std::int64_t project_id, const std::string& ref, const std::string& sha,
                           std::optional<std::int64_t> user_id) {
    const auto base = base_url();
    return write([&](State& s) {
        auto project = s.projects.find(project_id);
        if (project == s.projects.end()) throw ApiError::message(404, "404 Project Not Found");
        std::string before_sha(40, '0');
        for (auto it = s.pipelines.rbegin(); it != s.pipelines.rend(); ++it) {
            const auto& p = it->second;
            if (p["project_id"] == project_id && p["ref"] == ref) {
                before_sha = p["sha"].get<std::string>();
                break;
            }
        }
        const auto id = s.next_pipeline_id++;
        const auto iid = project->second.next_pipeline_iid++;
        const auto now = now_iso();
        const auto uid = user_id.value_or(project->second.record.value("creator_id", std::int64_t{1}));
        Json user = user_record(s, uid);
        Json p = Json{{"id", id},
                      {"iid", iid},
                      {"project_id", project_id},
                      {"sha", sha},
                      {"ref", ref},
                      {"status", "pending"},
                      {"source", "push"},
                      {"created_at", now},
                      {"updated_at", now},
                      {"web_url", base + "/" + project->second.record["path_with_namespace"].get<std::string>() +
                                      "/-/pipelines/" + std::to_string(id)},
                      {"before_sha", before_sha},
                      {"tag", false},
                      {"yaml_errors", nullptr},
                      {"user", user},
                      {"started_at", nullptr},
                      {"finished_at", nullptr},
                      {"committed_at", nullptr},
                      {"duration", nullptr},
                      {"queued_duration", nullptr},
                      {"coverage", nullptr},
                      {"detailed_status", nullptr},
                      {"name", nullptr}};
        s.pipelines[id] = p;
        return p;
    });
}

namespace {

// How each status shows (Gitlab::Ci::Status::<Status>, lib/gitlab/ci/status/*.rb): text, label, icon.
struct StatusLook {
    const char* status;
    const char* text;
    const char* label;
    const char* icon;
};
constexpr StatusLook kStatusLooks[] = {
    {"created", "Created", "created", "status_created"},
    {"waiting_for_resource", "Waiting", "waiting for resource", "status_pending"},
    {"preparing", "Preparing", "preparing", "status_preparing"},
    {"pending", "Pending", "pending", "status_pending"},
    {"running", "Running", "running", "status_running"},
    {"success", "Passed", "passed", "status_success"},
    {"failed", "Failed", "failed", "status_failed"},
    {"canceled", "Canceled", "canceled", "status_canceled"},
    {"skipped", "Skipped", "skipped", "status_skipped"},
    {"manual", "Blocked", "manual action", "status_manual"},
    {"scheduled", "Scheduled", "scheduled", "status_scheduled"},
};

}  // namespace

Json present_pipeline(const Json& pipeline) {
    Json out = pipeline;
    const auto status = str_field(pipeline, "status");
    const StatusLook* look = &kStatusLooks[0];
    for (const auto& l : kStatusLooks) {
        if (status == l.status) look = &l;
    }
    const auto web_url = str_field(pipeline, "web_url");
    const auto path = web_url.substr(std::min(web_url.size(), web_url.find('/', web_url.find("//") + 2)));
    // DetailedStatusEntity (app/serializers/detailed_status_entity.rb): the tooltip is the label, the
    // pipeline's page is its details, the favicon an asset path.
    out["detailed_status"] = Json{{"icon", look->icon},
                                  {"text", look->text},
                                  {"label", look->label},
                                  {"group", look->status},
                                  {"tooltip", look->label},
                                  {"has_details", true},
                                  {"details_path", path},
                                  {"illustration", nullptr},
                                  {"favicon", std::string("/assets/ci_favicons/favicon_") + look->icon + ".png"}};
    return out;
}

}  // namespace zorv_sandbox
