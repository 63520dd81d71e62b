// Users and personal access tokens.
#include "routes.hpp"

namespace zorv_sandbox {

namespace {

const Json kUserScopes = Json::array({"api", "read_user", "read_api", "read_repository", "write_repository",
                                      "read_registry", "write_registry", "sudo", "admin_mode", "create_runner",
                                      "manage_runner", "ai_features", "k8s_proxy", "read_service_ping"});

std::int64_t id_arg(const Context& ctx, const char* name, const char* what) {
    const auto id = numeric_id(ctx.arg(name));
    if (!id) throw ApiError::message(404, std::string("404 ") + what + " Not Found");
    return *id;
}

void get_current_user(Context& ctx) {
    const auto id = ctx.caller->user_id;
    send_json(ctx.res, 200, ctx.sandbox.read([&](const State& s) { return ctx.sandbox.user_record(s, id, true); }));
}

// Administrators see every user's private fields.
void list_users(Context& ctx) {
    const auto username = param_string(ctx.params(), "username");
    const auto search = param_string(ctx.params(), "search");
    const Json users = ctx.sandbox.read([&](const State& s) {
        Json out = Json::array();
        for (const auto& [id, u] : s.users) {
            const auto name = u.record["username"].get<std::string>();
            if (username && name != *username) continue;
            if (search && name.find(*search) == std::string::npos &&
                u.record["name"].get<std::string>().find(*search) == std::string::npos) {
                continue;
            }
            out.push_back(ctx.sandbox.user_record(s, id, ctx.caller->admin));
        }
        return out;
    });
    send_page(ctx.req, ctx.res, users);
}

// Users see their own private fields, administrators everyone's.
void get_user(Context& ctx) {
    const auto id = id_arg(ctx, "id", "User");
    const bool detailed = ctx.caller->admin || ctx.caller->user_id == id;
    const Json user = ctx.sandbox.read([&](const State& s) { return ctx.sandbox.user_record(s, id, detailed); });
    if (user.is_null()) throw ApiError::message(404, "404 User Not Found");
    send_json(ctx.res, 200, user);
}

// Administrators mint personal access tokens for any user.
void create_personal_access_token(Context& ctx) {
    ctx.require_admin();
    const auto user_id = id_arg(ctx, "user_id", "User");
    const Json& p = ctx.params();
    require_params(p, {"name", "scopes"});
    const auto name = *param_string(p, "name");
    const Json scopes = checked_scopes(p, instance_scopes(ctx.sandbox, kUserScopes));
    const auto expires = checked_expiry(p);
    const auto description = param_string(p, "description");
    const Json out = ctx.sandbox.write([&](State& s) {
        if (!s.users.contains(user_id)) throw ApiError::message(404, "404 User Not Found");
        return mint_token(s, {.name = name,
                              .description = description ? Json(*description) : Json(nullptr),
                              .scopes = scopes,
                              .user_id = user_id,
                              .expires_at = expires});
    });
    send_json(ctx.res, 201, out);
}

}  // namespace

void register_user_routes(Sandbox& sb) {
    sb.route("GET", "/api/v4/user", get_current_user);
    sb.route("GET", "/api/v4/users", list_users);
    sb.route("GET", "/api/v4/users/:id", get_user);
    sb.route("POST", "/api/v4/users/:user_id/personal_access_tokens", create_personal_access_token);
}

}  // namespace zorv_sandbox
