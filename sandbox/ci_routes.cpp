// CI/CD variables of projects and groups, and pipelines.
#include "routes.hpp"

#include <algorithm>

namespace zorv_sandbox {

namespace {

// Masked values: at least 8 characters of this alphabet (GitLab's \A[a-zA-Z0-9_+=/@:.~-]{8,}\z).
bool maskable(const std::string& value) {
    if (value.size() < 8) return false;
    return std::all_of(value.begin(), value.end(), [](unsigned char c) {
        return std::isalnum(c) != 0 || std::string_view("_+=/@:.~-").find(static_cast<char>(c)) != std::string_view::npos;
    });
}

bool valid_key(const std::string& key) {
    return !key.empty() && key.size() <= 255 &&
           std::all_of(key.begin(), key.end(), [](unsigned char c) { return std::isalnum(c) != 0 || c == '_'; });
}

// Variables are held by key and environment scope: one key may exist once per scope.
using Variables = std::map<std::string, Json>;

std::string slot(const std::string& key, const std::string& scope) { return key + '\n' + scope; }
std::string slot(const Json& v) { return slot(v["key"].get<std::string>(), v["environment_scope"].get<std::string>()); }

// GitLab's find_variable (lib/api/helpers/variables_helpers.rb): the variables with the key,
// narrowed by `filter[environment_scope]`; none is 404, several are 409.
template <class Vars>
auto find_variable(Vars& vars, const std::string& key, const Json& p) -> decltype(vars.begin()) {
    std::optional<std::string> scope;
    if (const auto f = p.find("filter"); f != p.end() && f->is_object()) scope = param_string(*f, "environment_scope");
    auto found = vars.end();
    int count = 0;
    for (auto it = vars.lower_bound(key + '\n'); it != vars.end() && it->first.starts_with(key + '\n'); ++it) {
        if (scope && it->second["environment_scope"] != *scope) continue;
        found = it;
        ++count;
    }
    if (count == 0) throw ApiError::message(404, "404 Variable Not Found");
    if (count > 1) {
        throw ApiError::message(409, "There are multiple variables with provided parameters. Please use "
                                     "'filter[environment_scope]'");
    }
    return found;
}

// Whose variables a route serves: a project's or a group's, named by the route's :id.
enum class OwnerKind { project, group };

struct Owner {
    OwnerKind kind = OwnerKind::project;
    std::int64_t id = 0;
};

Owner owner_of(Context& ctx, OwnerKind kind) {
    if (kind == OwnerKind::project) return {kind, ctx.project().id};
    const auto id = ctx.sandbox.read([&](const State& s) {
        const Json* g = find_group(s, ctx.arg("id"));
        if (g == nullptr) throw ApiError::message(404, "404 Group Not Found");
        return (*g)["id"].get<std::int64_t>();
    });
    return {kind, id};
}

const Variables* collection(const State& s, const Owner& o) {
    const auto& all = o.kind == OwnerKind::project ? s.project_variables : s.group_variables;
    const auto it = all.find(o.id);
    return it == all.end() ? nullptr : &it->second;
}

Variables& collection(State& s, const Owner& o) {
    // The owner may have gone between the lookup and this write.
    if (o.kind == OwnerKind::project) {
        if (!s.projects.contains(o.id)) throw ApiError::message(404, "404 Project Not Found");
        return s.project_variables[o.id];
    }
    if (!s.groups.contains(o.id)) throw ApiError::message(404, "404 Group Not Found");
    return s.group_variables[o.id];
}

// Applies the writable fields present in the parameters to a variable record.
void apply_variable_fields(Json& v, const Json& p) {
    if (const auto value = param_string(p, "value")) v["value"] = *value;
    if (const auto type = param_string(p, "variable_type")) {
        if (*type != "env_var" && *type != "file") throw ApiError::error(400, "variable_type does not have a valid value");
        v["variable_type"] = *type;
    }
    for (const char* key : {"protected", "masked", "raw"}) {
        if (const auto b = param_bool(p, key)) v[key] = *b;
    }
    if (const auto scope = param_string(p, "environment_scope")) v["environment_scope"] = *scope;
    if (p.contains("description")) {
        const auto d = param_string(p, "description");
        v["description"] = d ? Json(*d) : Json(nullptr);
    }
    if (v["masked"].get<bool>() && !maskable(v["value"].get<std::string>())) {
        throw ApiError::message(400, Json{{"value", Json::array({"is invalid"})}});
    }
}

// 400 {"message": {"key": [...]}} as GitLab words a refused key.
ApiError key_error(const std::string& message) {
    return ApiError::message(400, Json{{"key", Json::array({message})}});
}

// A new variable from POST parameters: GitLab's defaults with the fields sent on top.
Json new_variable(const Json& p) {
    require_params(p, {"key"});
    if (!p.contains("value") || p["value"].is_null()) throw ApiError::error(400, "value is missing");
    const auto key = *param_string(p, "key");
    if (!valid_key(key)) throw key_error("can contain only letters, digits and '_'.");
    Json v = Json{{"variable_type", "env_var"}, {"key", key},    {"value", ""},
                  {"hidden", false},            {"protected", false}, {"masked", false},
                  {"raw", false},               {"environment_scope", "*"}, {"description", nullptr}};
    apply_variable_fields(v, p);
    return v;
}

void list_variables(Context& ctx, OwnerKind kind) {
    const auto owner = owner_of(ctx, kind);
    const Json list = ctx.sandbox.read([&](const State& s) {
        Json out = Json::array();
        if (const Variables* vars = collection(s, owner)) {
            for (const auto& [k, v] : *vars) out.push_back(v);
        }
        return out;
    });
    send_page(ctx.req, ctx.res, list);
}

void get_variable(Context& ctx, OwnerKind kind) {
    const auto owner = owner_of(ctx, kind);
    const Json v = ctx.sandbox.read([&](const State& s) {
        const Variables* vars = collection(s, owner);
        if (vars == nullptr) throw ApiError::message(404, "404 Variable Not Found");
        return find_variable(*vars, ctx.arg("key"), ctx.params())->second;
    });
    send_json(ctx.res, 200, v);
}

void create_variable(Context& ctx, OwnerKind kind) {
    const auto owner = owner_of(ctx, kind);
    const Json v = new_variable(ctx.params());
    ctx.sandbox.write([&](State& s) {
        auto& vars = collection(s, owner);
        if (vars.contains(slot(v))) throw key_error("(" + v["key"].get<std::string>() + ") has already been taken");
        vars[slot(v)] = v;
    });
    send_json(ctx.res, 201, v);
}

// Only the fields sent change; a new environment scope moves the variable to another slot.
void update_variable(Context& ctx, OwnerKind kind) {
    const auto owner = owner_of(ctx, kind);
    const Json& p = ctx.params();
    const Json out = ctx.sandbox.write([&](State& s) {
        auto& vars = collection(s, owner);
        const auto it = find_variable(vars, ctx.arg("key"), p);
        Json v = it->second;
        apply_variable_fields(v, p);
        if (slot(v) != it->first) {
            if (vars.contains(slot(v))) throw key_error("(" + ctx.arg("key") + ") has already been taken");
            vars.erase(it);
        }
        vars[slot(v)] = v;
        return v;
    });
    send_json(ctx.res, 200, out);
}

void delete_variable(Context& ctx, OwnerKind kind) {
    const auto owner = owner_of(ctx, kind);
    ctx.sandbox.write([&](State& s) {
        auto& vars = collection(s, owner);
        vars.erase(find_variable(vars, ctx.arg("key"), ctx.params()));
    });
    send_empty(ctx.res, 204);
}

// The short form of the pipeline list (PipelineBasicWithMetadata,
// lib/api/entities/ci/pipeline_basic_with_metadata.rb: PipelineBasic and the pipeline's name).
Json pipeline_basic(const Json& p) {
    Json out = Json::object();
    for (const char* key : {"id", "iid", "project_id", "sha", "ref", "status", "source", "created_at", "updated_at",
                            "web_url", "name"}) {
        out[key] = p[key];
    }
    return out;
}

Json pipeline_or_404(const State& s, std::int64_t project_id, const std::string& pipeline_id) {
    const auto id = numeric_id(pipeline_id);
    const auto it = id ? s.pipelines.find(*id) : s.pipelines.end();
    if (it == s.pipelines.end() || it->second["project_id"] != project_id) throw ApiError::message(404, "404 Not found");
    return it->second;
}

std::optional<TimePoint> time_param(const Json& p, const std::string& key) {
    const auto text = param_string(p, key);
    if (!text) return std::nullopt;
    const auto t = parse_iso(*text);
    if (!t) throw ApiError::error(400, key + " is invalid");
    return t;
}

// The filters and order of GET /projects/:id/pipelines.
struct PipelineQuery {
    std::optional<std::string> ref, status, sha, source;
    std::optional<TimePoint> updated_after, updated_before;
    std::string order_by, sort;
};

PipelineQuery pipeline_query(const Json& p) {
    PipelineQuery q{param_string(p, "ref"),          param_string(p, "status"),
                    param_string(p, "sha"),          param_string(p, "source"),
                    time_param(p, "updated_after"),  time_param(p, "updated_before"),
                    param_string(p, "order_by").value_or("id"), param_string(p, "sort").value_or("desc")};
    if (q.order_by != "id" && q.order_by != "status" && q.order_by != "ref" && q.order_by != "updated_at" &&
        q.order_by != "user_id") {
        throw ApiError::error(400, "order_by does not have a valid value");
    }
    if (q.sort != "asc" && q.sort != "desc") throw ApiError::error(400, "sort does not have a valid value");
    return q;
}

bool matches(const PipelineQuery& q, const Json& pl) {
    if (q.ref && pl["ref"] != *q.ref) return false;
    if (q.status && pl["status"] != *q.status) return false;
    if (q.sha && pl["sha"] != *q.sha) return false;
    if (q.source && pl["source"] != *q.source) return false;
    const auto updated = parse_iso(pl["updated_at"].get<std::string>());
    if (q.updated_after && updated && *updated <= *q.updated_after) return false;
    return !(q.updated_before && updated && *updated >= *q.updated_before);
}

// The value a pipeline is ordered by: one of its fields, or for `user_id` its user's id.
Json order_key(const Json& pipeline, const std::string& order_by) {
    if (order_by != "user_id") return pipeline[order_by];
    const Json& user = pipeline["user"];
    return user.is_object() ? user["id"] : Json(nullptr);
}

// Ties go newest first.
void sort_pipelines(std::vector<Json>& list, const PipelineQuery& q) {
    std::stable_sort(list.begin(), list.end(), [&](const Json& a, const Json& b) {
        const Json ka = order_key(a, q.order_by), kb = order_key(b, q.order_by);
        if (ka == kb) return a["id"].get<std::int64_t>() > b["id"].get<std::int64_t>();
        return q.sort == "asc" ? ka < kb : kb < ka;
    });
}

void list_pipelines(Context& ctx) {
    const auto project = ctx.project();
    const auto query = pipeline_query(ctx.params());
    auto list = ctx.sandbox.read([&](const State& s) {
        std::vector<Json> out;
        for (const auto& [id, pl] : s.pipelines) {
            if (pl["project_id"] == project.id && matches(query, pl)) out.push_back(pl);
        }
        return out;
    });
    sort_pipelines(list, query);
    Json items = Json::array();
    for (const auto& pl : list) items.push_back(pipeline_basic(pl));
    send_page(ctx.req, ctx.res, items);
}

void get_pipeline(Context& ctx) {
    const auto project = ctx.project();
    send_json(ctx.res, 200, present_pipeline(ctx.sandbox.read([&](const State& s) {
        return pipeline_or_404(s, project.id, ctx.arg("pipeline_id"));
    })));
}

// Retrying starts the failed or canceled jobs again: such a pipeline is pending once more.
void retry_pipeline(Context& ctx) {
    const auto project = ctx.project();
    const Json out = ctx.sandbox.write([&](State& s) {
        const auto current = pipeline_or_404(s, project.id, ctx.arg("pipeline_id"));
        Json& p = s.pipelines.at(current["id"].get<std::int64_t>());
        if (p["status"] == "failed" || p["status"] == "canceled") {
            p["status"] = "pending";
            p["finished_at"] = nullptr;
            p["duration"] = nullptr;
            p["updated_at"] = now_iso();
        }
        return p;
    });
    send_json(ctx.res, 201, present_pipeline(out));
}

}  // namespace

void register_ci_routes(Sandbox& sb) {
    constexpr auto project = OwnerKind::project;
    constexpr auto group = OwnerKind::group;
    sb.route("GET", "/api/v4/projects/:id/variables", [](Context& ctx) { list_variables(ctx, project); });
    sb.route("GET", "/api/v4/projects/:id/variables/:key", [](Context& ctx) { get_variable(ctx, project); });
    sb.route("POST", "/api/v4/projects/:id/variables", [](Context& ctx) { create_variable(ctx, project); });
    sb.route("PUT", "/api/v4/projects/:id/variables/:key", [](Context& ctx) { update_variable(ctx, project); });
    sb.route("DELETE", "/api/v4/projects/:id/variables/:key", [](Context& ctx) { delete_variable(ctx, project); });
    sb.route("GET", "/api/v4/groups/:id/variables", [](Context& ctx) { list_variables(ctx, group); });
    sb.route("GET", "/api/v4/groups/:id/variables/:key", [](Context& ctx) { get_variable(ctx, group); });
    sb.route("POST", "/api/v4/groups/:id/variables", [](Context& ctx) { create_variable(ctx, group); });
    sb.route("PUT", "/api/v4/groups/:id/variables/:key", [](Context& ctx) { update_variable(ctx, group); });
    sb.route("DELETE", "/api/v4/groups/:id/variables/:key", [](Context& ctx) { delete_variable(ctx, group); });
    sb.route("GET", "/api/v4/projects/:id/pipelines", list_pipelines);
    sb.route("GET", "/api/v4/projects/:id/pipelines/:pipeline_id", get_pipeline);
    sb.route("POST", "/api/v4/projects/:id/pipelines/:pipeline_id/retry", retry_pipeline);
}

}  // namespace zorv_sandbox
