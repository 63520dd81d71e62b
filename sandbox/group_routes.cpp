// Groups, subgroups and group access tokens.
#include "routes.hpp"

#include <algorithm>

namespace zorv_sandbox {

namespace {

namespace fs = std::filesystem;

// Gitlab::Auth.resource_bot_scopes (lib/gitlab/auth.rb): every non-admin scope but read_user.
const Json kGroupScopes = Json::array({"api", "read_api", "read_registry", "write_registry", "read_repository",
                                       "write_repository", "create_runner", "manage_runner", "ai_features",
                                       "k8s_proxy"});
constexpr int kOwner = 50;
constexpr std::size_t kGroupDetailProjects = 100;

// Letters, digits, '_', '-' and '.'; not starting with '-' (or '.'), not ending in '.git' or '.atom'.
bool valid_path(const std::string& path) {
    if (path.empty() || path.front() == '-' || path.front() == '.' || path.back() == '.') return false;
    if (path.ends_with(".git") || path.ends_with(".atom")) return false;
    return std::all_of(path.begin(), path.end(), [](unsigned char c) {
        return std::isalnum(c) != 0 || c == '_' || c == '-' || c == '.';
    });
}

// Ruby's inspect of ActiveModel errors, as GitLab puts it into "Failed to save group ...".
std::string ruby_errors(const std::vector<std::pair<std::string, std::string>>& errors) {
    std::string out = "{";
    for (std::size_t i = 0; i < errors.size(); ++i) {
        if (i > 0) out += ", ";
        out += ":" + errors[i].first + "=>[" + Json(errors[i].second).dump() + "]";
    }
    return out + "}";
}

const Json& group_or_404(const State& s, const std::string& id) {
    const Json* g = find_group(s, id);
    if (g == nullptr) throw ApiError::message(404, "404 Group Not Found");
    return *g;
}

// Renames a group and rewrites what follows from its path: the full paths and names of its
// subgroups and the records of every project below it.
void rename_group(const Sandbox& sb, State& s, std::int64_t gid, const std::string& name, const std::string& path) {
    for (const auto id : group_subtree(s, gid)) {
        Json& g = s.groups.at(id);
        if (id == gid) {
            g["name"] = name;
            g["path"] = path;
        }
        const Json* parent = g["parent_id"].is_number_integer() ? &s.groups.at(g["parent_id"].get<std::int64_t>()) : nullptr;
        g["full_path"] = parent ? (*parent)["full_path"].get<std::string>() + "/" + g["path"].get<std::string>()
                                : g["path"].get<std::string>();
        g["full_name"] = parent ? (*parent)["full_name"].get<std::string>() + " / " + g["name"].get<std::string>()
                                : g["name"].get<std::string>();
        g["web_url"] = sb.base_url() + "/groups/" + g["full_path"].get<std::string>();
    }
    for (const auto id : group_subtree(s, gid)) {
        for (const auto pid : projects_in(s, id)) {
            Json& r = s.projects.at(pid).record;
            relocate_project(sb, s, r, r["name"].get<std::string>(), r["path"].get<std::string>());
        }
    }
}

Json sorted_groups(Json groups, const Json& p) {
    const auto order_by = param_string(p, "order_by").value_or("name");
    const auto sort = param_string(p, "sort").value_or("asc");
    if (order_by != "name" && order_by != "path" && order_by != "id" && order_by != "similarity") {
        throw ApiError::error(400, "order_by does not have a valid value");
    }
    if (sort != "asc" && sort != "desc") throw ApiError::error(400, "sort does not have a valid value");
    const std::string key = order_by == "similarity" ? "name" : order_by;
    std::vector<Json> v(groups.begin(), groups.end());
    std::stable_sort(v.begin(), v.end(), [&](const Json& a, const Json& b) {
        if (a[key] == b[key]) return a["id"].get<std::int64_t>() < b["id"].get<std::int64_t>();
        return sort == "asc" ? a[key] < b[key] : b[key] < a[key];
    });
    return Json(v);
}

// A group is searched by its name and path (Namespace.search).
bool found_by(const Json& g, const std::optional<std::string>& search) {
    return matches_search(search.value_or(""), {str_field(g, "name"), str_field(g, "path")});
}

// The caller's role in a group: its own membership or one inherited from an ancestor; administrators
// count as Owner (Group#max_member_access_for_user). 0: no access.
int access_level(const State& s, const Caller& caller, std::int64_t group_id) {
    if (caller.admin) return kOwner;
    int level = 0;
    for (auto id = std::optional<std::int64_t>(group_id); id;) {
        if (const auto m = s.group_members.find(*id); m != s.group_members.end()) {
            if (const auto u = m->second.find(caller.user_id); u != m->second.end()) level = std::max(level, u->second);
        }
        const auto g = s.groups.find(*id);
        id = g != s.groups.end() && g->second["parent_id"].is_number_integer()
                 ? std::optional(g->second["parent_id"].get<std::int64_t>())
                 : std::nullopt;
    }
    return level;
}

// Guest, Reporter, Developer, Maintainer or Owner.
std::int64_t checked_level(std::int64_t level) {
    if (level != 10 && level != 20 && level != 30 && level != 40 && level != kOwner) {
        throw ApiError::error(400, "access_level does not have a valid value");
    }
    return level;
}

bool is_bot(const State& s, std::int64_t user_id) {
    const auto u = s.users.find(user_id);
    return u != s.users.end() && u->second.record.value("bot", false);
}

// ResourceAccessTokens::CreateService (app/services/resource_access_tokens/create_service.rb): only an
// Owner (or an administrator) may create one, and not with a role above the creator's own (bots are
// not checked); the API answers a refusal with bad_request! (lib/api/resource_access_tokens.rb).
void check_token_creator(const State& s, const Caller& caller, std::int64_t group_id, std::int64_t wanted_level) {
    const int own = access_level(s, caller, group_id);
    if (own < kOwner) {
        throw ApiError::message(400, "400 Bad request - User does not have permission to create group access token");
    }
    if (!is_bot(s, caller.user_id) && wanted_level > own) {
        throw ApiError::message(
            400, "400 Bad request - Access level of the token contains permissions not held by the creating user");
    }
}

// GitLab 18 deletes groups later (Groups::MarkForDeletionService,
// app/services/groups/mark_for_deletion_service.rb): the group is renamed
// "<name>-deletion_scheduled-<id>" (path likewise; no group here holds container images, which would
// keep the name) and its subgroups and projects stay, under the new path, until the retention period
// ends. The API answers 202 (lib/api/groups.rb); a group already marked: 400.
void mark_group_for_deletion(Context& ctx) {
    const auto moved = ctx.sandbox.write([&](State& s) {
        group_or_404(s, ctx.arg("id"));
        Json& group = *find_group(s, ctx.arg("id"));
        if (group.contains("marked_for_deletion_on") && !group["marked_for_deletion_on"].is_null()) {
            throw ApiError::message(400, "Group has been already marked for deletion");
        }
        const auto gid = group["id"].get<std::int64_t>();
        const auto old_full_path = group["full_path"].get<std::string>();
        group["marked_for_deletion_on"] = now_iso().substr(0, 10);
        rename_group(ctx.sandbox, s, gid, deletion_scheduled(group["name"].get<std::string>(), gid),
                     deletion_scheduled(group["path"].get<std::string>(), gid));
        return std::pair{old_full_path, group["full_path"].get<std::string>()};
    });
    std::error_code ec;
    const auto root = ctx.sandbox.repositories_dir();
    if (fs::exists(root / moved.first, ec)) {
        fs::create_directories((root / moved.second).parent_path(), ec);
        fs::rename(root / moved.first, root / moved.second, ec);
    }
    send_message(ctx.res, 202, "202 Accepted");
}

// POST /groups/:id/members (lib/api/members.rb): adds a user with a role; only an Owner may.
void add_member(Context& ctx) {
    const Json& p = ctx.params();
    require_params(p, {"user_id", "access_level"});
    const auto user_id = *param_int(p, "user_id");
    const auto level = checked_level(*param_int(p, "access_level"));
    const Json out = ctx.sandbox.write([&](State& s) {
        const auto gid = group_or_404(s, ctx.arg("id"))["id"].get<std::int64_t>();
        if (access_level(s, *ctx.caller, gid) < kOwner) throw ApiError::message(403, "403 Forbidden");
        if (!s.users.contains(user_id)) throw ApiError::message(404, "404 User Not Found");
        auto& members = s.group_members[gid];
        if (members.contains(user_id)) throw ApiError::message(409, "Member already exists");
        members[user_id] = static_cast<int>(level);
        Json m = ctx.sandbox.user_record(s, user_id);
        m["access_level"] = level;
        m["created_at"] = now_iso();
        m["expires_at"] = nullptr;
        return m;
    });
    send_json(ctx.res, 201, out);
}

// Each group access token acts as a bot user of its own, a member of the group with the token's
// level, as in GitLab. The bot's id.
std::int64_t add_token_bot(State& s, const std::string& base, std::int64_t gid, const std::string& name,
                           std::int64_t level) {
    const std::string username = "group_" + std::to_string(gid) + "_bot_" + random_hex(16);
    const auto user_id = add_user(s, base, NewUser{.username = username, .name = name, .bot = true});
    s.group_members[gid][user_id] = static_cast<int>(level);
    return user_id;
}

void create_access_token(Context& ctx) {
    const Json& p = ctx.params();
    require_params(p, {"name", "scopes"});
    const auto name = *param_string(p, "name");
    const Json scopes = checked_scopes(p, instance_scopes(ctx.sandbox, kGroupScopes));
    const auto level = checked_level(param_int(p, "access_level").value_or(40));
    const auto expires = checked_expiry(p);
    const auto description = param_string(p, "description");
    const auto base = ctx.sandbox.base_url();
    const Json out = ctx.sandbox.write([&](State& s) {
        const auto gid = group_or_404(s, ctx.arg("id"))["id"].get<std::int64_t>();
        check_token_creator(s, *ctx.caller, gid, level);
        const auto bot_id = add_token_bot(s, base, gid, name, level);
        return mint_token(s, {.name = name,
                              .description = description ? Json(*description) : Json(nullptr),
                              .scopes = scopes,
                              .user_id = bot_id,
                              .expires_at = expires,
                              .group = GroupTokenOf{gid, level}});
    });
    send_json(ctx.res, 201, out);
}

// Every token of the group, revoked and expired ones included with their `active` and `revoked`
// fields, unless `state=active|inactive` narrows them (PersonalAccessTokensFinder). A caller who is
// not an Owner is answered unauthorized! (lib/api/resource_access_tokens.rb).
void list_access_tokens(Context& ctx) {
    const auto state = param_string(ctx.params(), "state");
    if (state && *state != "active" && *state != "inactive") throw ApiError::error(400, "state does not have a valid value");
    const Json tokens = ctx.sandbox.read([&](const State& s) {
        const auto gid = group_or_404(s, ctx.arg("id"))["id"].get<std::int64_t>();
        if (access_level(s, *ctx.caller, gid) < kOwner) throw ApiError::message(401, "401 Unauthorized");
        Json out = Json::array();
        for (const auto& [id, t] : s.tokens) {
            if (t.group_id != gid) continue;
            if (state && token_active(t.record) != (*state == "active")) continue;
            out.push_back(present_token(t.record));
        }
        return out;
    });
    send_page(ctx.req, ctx.res, tokens);
}

// The parameters of POST /groups, read and checked before the state is touched.
struct NewGroup {
    std::string name;
    std::string path;
    std::optional<std::int64_t> parent_id;
    std::string description;
    std::optional<std::string> visibility;  // as asked; absent: the instance's default
};

NewGroup new_group_params(const Json& p) {
    require_params(p, {"name", "path"});
    NewGroup g{*param_string(p, "name"), *param_string(p, "path"), param_int(p, "parent_id"),
               param_string(p, "description").value_or(""), param_string(p, "visibility")};
    if (g.visibility && visibility_level(*g.visibility) < 0) {
        throw ApiError::error(400, "visibility does not have a valid value");
    }
    return g;
}

const Json* parent_or_404(const State& s, const std::optional<std::int64_t>& parent_id) {
    if (!parent_id) return nullptr;
    const auto it = s.groups.find(*parent_id);
    if (it == s.groups.end()) throw ApiError::message(404, "404 Group Not Found");
    return &it->second;
}

// A subgroup asked for no visibility takes its parent's when that is lower than the default.
std::string effective_visibility(const NewGroup& g, const Json* parent, const std::string& default_visibility) {
    const std::string visibility = g.visibility.value_or(default_visibility);
    if (parent == nullptr || g.visibility) return visibility;
    const auto parent_visibility = (*parent)["visibility"].get<std::string>();
    return visibility_level(visibility) > visibility_level(parent_visibility) ? parent_visibility : visibility;
}

bool sibling_name_taken(const State& s, const NewGroup& g) {
    if (!g.parent_id) return false;
    for (const auto& [id, other] : s.groups) {
        if (other["parent_id"] == *g.parent_id && other["name"] == g.name) return true;
    }
    return false;
}

// A top-level path shares its namespace with the users' names; a subgroup's only with its siblings.
bool path_taken(const State& s, const NewGroup& g) {
    const auto wanted = lower_ascii(g.path);
    for (const auto& [id, other] : s.groups) {
        const bool sibling = g.parent_id ? other["parent_id"] == *g.parent_id : other["parent_id"].is_null();
        if (sibling && lower_ascii(other["path"].get<std::string>()) == wanted) return true;
    }
    if (g.parent_id) return false;
    for (const auto& [id, user] : s.users) {
        if (lower_ascii(user.record["username"].get<std::string>()) == wanted) return true;
    }
    return false;
}

// Group#valid? as GitLab reports it: name, path, then visibility_level, each with its messages.
std::vector<std::pair<std::string, std::string>> group_errors(const State& s, const NewGroup& g, const Json* parent,
                                                              const std::string& visibility) {
    std::vector<std::pair<std::string, std::string>> errors;
    if (sibling_name_taken(s, g)) errors.emplace_back("name", "has already been taken");
    if (!valid_path(g.path)) {
        errors.emplace_back("path", g.path.empty() ? "can't be blank"
                                                   : "can contain only letters, digits, '_', '-' and '.'. Cannot "
                                                     "start with '-', end in '.git' or end in '.atom'");
    } else if (path_taken(s, g)) {
        errors.emplace_back("path", "has already been taken");
    }
    if (parent != nullptr) {
        const auto parent_visibility = (*parent)["visibility"].get<std::string>();
        if (visibility_level(visibility) > visibility_level(parent_visibility)) {
            errors.emplace_back("visibility_level", visibility + " is not allowed since the parent group has a " +
                                                        parent_visibility + " visibility.");
        }
    }
    return errors;
}

Json group_record(const std::string& base, std::int64_t id, const NewGroup& g, const Json* parent,
                  const std::string& visibility) {
    const std::string full_path = parent ? (*parent)["full_path"].get<std::string>() + "/" + g.path : g.path;
    const std::string full_name = parent ? (*parent)["full_name"].get<std::string>() + " / " + g.name : g.name;
    return Json{{"id", id},
                {"web_url", base + "/groups/" + full_path},
                {"name", g.name},
                {"path", g.path},
                {"description", g.description},
                {"visibility", visibility},
                {"share_with_group_lock", false},
                {"require_two_factor_authentication", false},
                {"two_factor_grace_period", 48},
                {"project_creation_level", "developer"},
                {"auto_devops_enabled", nullptr},
                {"subgroup_creation_level", "maintainer"},
                {"emails_disabled", false},
                {"emails_enabled", true},
                {"mentions_disabled", nullptr},
                {"lfs_enabled", true},
                {"math_rendering_limits_enabled", true},
                {"lock_math_rendering_limits_enabled", false},
                {"default_branch", nullptr},
                {"marked_for_deletion_on", nullptr},
                {"default_branch_protection", 2},
                {"avatar_url", nullptr},
                {"request_access_enabled", true},
                {"full_name", full_name},
                {"full_path", full_path},
                {"created_at", now_iso()},
                {"parent_id", g.parent_id ? Json(*g.parent_id) : Json(nullptr)},
                {"organization_id", 1},
                {"shared_runners_setting", "enabled"},
                {"max_artifacts_size", nullptr},
                {"ldap_cn", nullptr},
                {"ldap_access", nullptr},
                {"wiki_access_level", "enabled"}};
}

// The answer of POST /groups and GET /groups/:id: the record with what is shared and held.
Json with_group_details(Json group, Json projects = Json::array(), Json shared_projects = Json::array()) {
    group["shared_with_groups"] = Json::array();
    group["projects"] = std::move(projects);
    group["shared_projects"] = std::move(shared_projects);
    return group;
}

void create_group(Context& ctx) {
    const NewGroup wanted = new_group_params(ctx.params());
    const auto default_visibility = ctx.sandbox.settings().value("default_group_visibility", std::string{"internal"});
    const auto base = ctx.sandbox.base_url();
    const Json group = ctx.sandbox.write([&](State& s) {
        const Json* parent = parent_or_404(s, wanted.parent_id);
        const auto visibility = effective_visibility(wanted, parent, default_visibility);
        if (const auto errors = group_errors(s, wanted, parent, visibility); !errors.empty()) {
            throw ApiError::message(400, "Failed to save group " + ruby_errors(errors));
        }
        const auto id = s.next_namespace_id++;
        s.groups[id] = group_record(base, id, wanted, parent, visibility);
        s.group_members[id][ctx.caller->user_id] = kOwner;  // the creator owns the group
        return s.groups[id];
    });
    send_json(ctx.res, 201, with_group_details(group));
}

// GET /groups; offset paging past the instance's offset_pagination_limit is refused.
void list_groups(Context& ctx) {
    const auto search = param_string(ctx.params(), "search");
    const bool top_level_only = param_bool(ctx.params(), "top_level_only").value_or(false);
    Json groups = ctx.sandbox.read([&](const State& s) {
        Json out = Json::array();
        for (const auto& [id, g] : s.groups) {
            if (top_level_only && !g["parent_id"].is_null()) continue;
            if (found_by(g, search)) out.push_back(g);
        }
        return out;
    });
    Json sorted = sorted_groups(std::move(groups), ctx.params());
    check_offset_limit(ctx, "Group");
    send_page(ctx.req, ctx.res, sorted);
}

void get_group(Context& ctx) {
    const Json out = ctx.sandbox.read([&](const State& s) {
        const Json& g = group_or_404(s, ctx.arg("id"));
        // GroupDetail (lib/api/entities/group_detail.rb) shows at most GroupProjectsFinder's
        // DEFAULT_PROJECTS_LIMIT (100) of each, newest first (ProjectsFinder's id desc).
        const auto present = [&](const auto& ids) {
            Json out = Json::array();
            for (auto it = ids.rbegin(); it != ids.rend() && out.size() < kGroupDetailProjects; ++it) {
                out.push_back(present_project(ctx.sandbox, s, s.projects.at(*it), false));
            }
            return out;
        };
        std::set<std::int64_t> shared;
        for (const auto& [link_id, link] : s.project_group_links) {
            if (link["group_id"] == g["id"]) shared.insert(link["project_id"].get<std::int64_t>());
        }
        return with_group_details(g, present(projects_in(s, g["id"].get<std::int64_t>())), present(shared));
    });
    send_json(ctx.res, 200, out);
}

void list_subgroups(Context& ctx) {
    const auto search = param_string(ctx.params(), "search");
    Json groups = ctx.sandbox.read([&](const State& s) {
        const auto gid = group_or_404(s, ctx.arg("id"))["id"].get<std::int64_t>();
        Json out = Json::array();
        for (const auto& [id, g] : s.groups) {
            if (g["parent_id"] == gid && found_by(g, search)) out.push_back(g);
        }
        return out;
    });
    send_page(ctx.req, ctx.res, sorted_groups(std::move(groups), ctx.params()));
}

// The id of the route's :token_id when it is a token of the route's group; 404 otherwise.
std::int64_t group_token_or_404(const State& s, const Context& ctx) {
    const auto gid = group_or_404(s, ctx.arg("id"))["id"].get<std::int64_t>();
    const auto tid = numeric_id(ctx.arg("token_id"));
    const auto it = tid ? s.tokens.find(*tid) : s.tokens.end();
    if (it == s.tokens.end() || it->second.group_id != gid) throw ApiError::message(404, "404 Not Found");
    return it->first;
}

void get_access_token(Context& ctx) {
    const Json token = ctx.sandbox.read(
        [&](const State& s) { return present_token(s.tokens.at(group_token_or_404(s, ctx)).record); });
    send_json(ctx.res, 200, token);
}

void revoke_access_token(Context& ctx) {
    ctx.sandbox.write([&](State& s) {
        Json& record = s.tokens.at(group_token_or_404(s, ctx)).record;
        record["revoked"] = true;
        record["active"] = false;
    });
    send_empty(ctx.res, 204);
}

}  // namespace

void register_group_routes(Sandbox& sb) {
    sb.route("POST", "/api/v4/groups", create_group);
    sb.route("GET", "/api/v4/groups", list_groups);
    sb.route("GET", "/api/v4/groups/:id", get_group);
    sb.route("GET", "/api/v4/groups/:id/subgroups", list_subgroups);
    sb.route("DELETE", "/api/v4/groups/:id", mark_group_for_deletion);
    sb.route("POST", "/api/v4/groups/:id/members", add_member);
    sb.route("POST", "/api/v4/groups/:id/access_tokens", create_access_token);
    sb.route("GET", "/api/v4/groups/:id/access_tokens", list_access_tokens);
    sb.route("GET", "/api/v4/groups/:id/access_tokens/:token_id", get_access_token);
    sb.route("DELETE", "/api/v4/groups/:id/access_tokens/:token_id", revoke_access_token);
}

}  // namespace zorv_sandbox
