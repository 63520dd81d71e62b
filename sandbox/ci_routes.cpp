// CI/CD variables of projects and groups, and pipelines.
#include "records.hpp"

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

// The owner of a variable collection: a project or a group, named by the route's :id.
struct Owner {
    bool project = true;
    std::int64_t id = 0;
};

Owner owner_of(Context& ctx, bool project) {
    if (project) return {true, ctx.project().id};
    const auto id = ctx.sandbox.read([&](const State& s) {
        const Json* g = find_group(s, ctx.arg("id"));
        if (g == nullptr) throw ApiError::message(404, "404 Group Not Found");
        return (*g)["id"].get<std::int64_t>();
    });
    return {false, id};
}

Variables& collection(State& s, const Owner& o) {
    // The owner may have gone between the lookup and this write.
    if (o.project && !s.projects.contains(o.id)) throw ApiError::message(404, "404 Project Not Found");
    if (!o.project && !s.groups.contains(o.id)) throw ApiError::message(404, "404 Group Not Found");
    return o.project ? s.project_variables[o.id] : s.group_variables[o.id];
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

void register_variables(Sandbox& sb, const std::string& base, bool project) {
    sb.route("GET", base + "/variables", [project](Context& ctx) {
        const auto owner = owner_of(ctx, project);
        const Json list = ctx.sandbox.read([&](const State& s) {
            Json out = Json::array();
            const auto& all = project ? s.project_variables : s.group_variables;
            if (const auto it = all.find(owner.id); it != all.end()) {
                for (const auto& [k, v] : it->second) out.push_back(v);
            }
            return out;
        });
        send_page(ctx.req, ctx.res, list);
    });

    sb.route("GET", base + "/variables/:key", [project](Context& ctx) {
        const auto owner = owner_of(ctx, project);
        const Json v = ctx.sandbox.read([&](const State& s) {
            const auto& all = project ? s.project_variables : s.group_variables;
            const auto it = all.find(owner.id);
            if (it == all.end()) throw ApiError::message(404, "404 Variable Not Found");
            return find_variable(it->second, ctx.arg("key"), ctx.params())->second;
        });
        send_json(ctx.res, 200, v);
    });

    sb.route("POST", base + "/variables", [project](Context& ctx) {
        const auto owner = owner_of(ctx, project);
        const Json& p = ctx.params();
        require_params(p, {"key"});
        if (!p.contains("value") || p["value"].is_null()) throw ApiError::error(400, "value is missing");
        const auto key = *param_string(p, "key");
        if (!valid_key(key)) {
            throw ApiError::message(400, Json{{"key", Json::array({"can contain only letters, digits and '_'."})}});
        }
        Json v = Json{{"variable_type", "env_var"}, {"key", key},    {"value", ""},
                      {"hidden", false},            {"protected", false}, {"masked", false},
                      {"raw", false},               {"environment_scope", "*"}, {"description", nullptr}};
        apply_variable_fields(v, p);
        const Json out = ctx.sandbox.write([&](State& s) {
            auto& vars = collection(s, owner);
            if (vars.contains(slot(v))) {
                throw ApiError::message(400, Json{{"key", Json::array({"(" + key + ") has already been taken"})}});
            }
            vars[slot(v)] = v;
            return v;
        });
        send_json(ctx.res, 201, out);
    });

    sb.route("PUT", base + "/variables/:key", [project](Context& ctx) {
        const auto owner = owner_of(ctx, project);
        const Json& p = ctx.params();
        const Json out = ctx.sandbox.write([&](State& s) {
            auto& vars = collection(s, owner);
            const auto it = find_variable(vars, ctx.arg("key"), p);
            Json v = it->second;
            apply_variable_fields(v, p);
            if (slot(v) != it->first) {
                if (vars.contains(slot(v))) {
                    throw ApiError::message(400, Json{{"key", Json::array({"(" + ctx.arg("key") + ") has already been taken"})}});
                }
                vars.erase(it);
            }
            vars[slot(v)] = v;
            return v;
        });
        send_json(ctx.res, 200, out);
    });

    sb.route("DELETE", base + "/variables/:key", [project](Context& ctx) {
        const auto owner = owner_of(ctx, project);
        ctx.sandbox.write([&](State& s) {
            auto& vars = collection(s, owner);
            vars.erase(find_variable(vars, ctx.arg("key"), ctx.params()));
        });
        send_empty(ctx.res, 204);
    });
}

// The short form of the pipeline list (PipelineBasic).
Json pipeline_basic(const Json& p) {
    Json out = Json::object();
    for (const char* key : {"id", "iid", "project_id", "sha", "ref", "status", "source", "created_at", "updated_at",
                            "web_url"}) {
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

}  // namespace

void register_ci_routes(Sandbox& sb) {
    register_variables(sb, "/api/v4/projects/:id", true);
    register_variables(sb, "/api/v4/groups/:id", false);

    sb.route("GET", "/api/v4/projects/:id/pipelines", [](Context& ctx) {
        const auto project = ctx.project();
        const Json& p = ctx.params();
        const auto ref = param_string(p, "ref");
        const auto status = param_string(p, "status");
        const auto sha = param_string(p, "sha");
        const auto source = param_string(p, "source");
        const auto updated_after = time_param(p, "updated_after");
        const auto updated_before = time_param(p, "updated_before");
        const auto order_by = param_string(p, "order_by").value_or("id");
        const auto sort = param_string(p, "sort").value_or("desc");
        if (order_by != "id" && order_by != "status" && order_by != "ref" && order_by != "updated_at" &&
            order_by != "user_id") {
            throw ApiError::error(400, "order_by does not have a valid value");
        }
        if (sort != "asc" && sort != "desc") throw ApiError::error(400, "sort does not have a valid value");
        auto list = ctx.sandbox.read([&](const State& s) {
            std::vector<Json> out;
            for (const auto& [id, pl] : s.pipelines) {
                if (pl["project_id"] != project.id) continue;
                if (ref && pl["ref"] != *ref) continue;
                if (status && pl["status"] != *status) continue;
                if (sha && pl["sha"] != *sha) continue;
                if (source && pl["source"] != *source) continue;
                const auto updated = parse_iso(pl["updated_at"].get<std::string>());
                if (updated_after && updated && *updated <= *updated_after) continue;
                if (updated_before && updated && *updated >= *updated_before) continue;
                out.push_back(pl);
            }
            return out;
        });
        const std::string key = order_by == "user_id" ? "id" : order_by;
        std::stable_sort(list.begin(), list.end(), [&](const Json& a, const Json& b) {
            const Json& x = key == "user_id" ? a["user"]["id"] : a[key];
            const Json& y = key == "user_id" ? b["user"]["id"] : b[key];
            if (x == y) return a["id"].get<std::int64_t>() > b["id"].get<std::int64_t>();
            return sort == "asc" ? x < y : y < x;
        });
        Json items = Json::array();
        for (const auto& pl : list) items.push_back(pipeline_basic(pl));
        send_page(ctx.req, ctx.res, items);
    });

    sb.route("GET", "/api/v4/projects/:id/pipelines/:pipeline_id", [](Context& ctx) {
        const auto project = ctx.project();
        send_json(ctx.res, 200, ctx.sandbox.read([&](const State& s) {
            return pipeline_or_404(s, project.id, ctx.arg("pipeline_id"));
        }));
    });

    // Retrying starts the failed or canceled jobs again: such a pipeline is pending once more.
    sb.route("POST", "/api/v4/projects/:id/pipelines/:pipeline_id/retry", [](Context& ctx) {
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
        send_json(ctx.res, 201, out);
    });
}

}  // namespace zorv_sandbox
