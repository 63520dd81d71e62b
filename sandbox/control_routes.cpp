// Control routes under /-/sandbox/ for tests: journal, fault rules, seeding users, settings,
// pipeline states. No authentication, and never journaled.
#include "routes.hpp"

#include <algorithm>

namespace zorv_sandbox {

namespace {

const Json kEndStatuses = Json::array({"success", "failed", "canceled", "skipped"});
const Json kStatuses = Json::array({"created", "waiting_for_resource", "preparing", "pending", "running", "success",
                                    "failed", "canceled", "skipped", "manual", "scheduled"});

bool known_status(const std::string& status) {
    return std::find(kStatuses.begin(), kStatuses.end(), Json(status)) != kStatuses.end();
}

ApiError status_error() { return ApiError::message(400, "status must be one of " + kStatuses.dump()); }

void get_journal(Context& ctx) { send_json(ctx.res, 200, ctx.sandbox.journal()); }

void clear_journal(Context& ctx) {
    ctx.sandbox.clear_journal();
    send_empty(ctx.res, 204);
}

void add_fault(Context& ctx) {
    const auto id = ctx.sandbox.add_fault(json_body(ctx.req));
    send_json(ctx.res, 201, Json{{"id", id}});
}

void clear_faults(Context& ctx) {
    ctx.sandbox.clear_faults();
    send_empty(ctx.res, 204);
}

void create_user(Context& ctx) {
    const Json b = json_body(ctx.req);
    const auto username = param_string(b, "username").value_or("");
    const auto name = param_string(b, "name").value_or(username);
    const bool admin = param_bool(b, "admin").value_or(false);
    send_json(ctx.res, 201, ctx.sandbox.create_user(username, name, admin));
}

void get_settings(Context& ctx) { send_json(ctx.res, 200, ctx.sandbox.settings()); }

void update_settings(Context& ctx) {
    ctx.sandbox.update_settings(json_body(ctx.req));
    send_json(ctx.res, 200, ctx.sandbox.settings());
}

// Adds a pipeline as a push would ({"ref", "sha", "status"}; sha defaults to 40 zeros).
void add_pipeline(Context& ctx) {
    const auto project = ctx.project();
    const Json b = json_body(ctx.req);
    const auto ref = param_string(b, "ref").value_or(kDefaultBranch);
    const auto sha = param_string(b, "sha").value_or(std::string(40, '0'));
    Json record = ctx.sandbox.add_pipeline(project.id, ref, sha, param_int(b, "user_id"));
    if (const auto status = param_string(b, "status")) {
        if (!known_status(*status)) throw status_error();
        record = ctx.sandbox.write([&](State& s) {
            Json& p = s.pipelines.at(record["id"].get<std::int64_t>());
            p["status"] = *status;
            return p;
        });
    }
    send_json(ctx.res, 201, present_pipeline(record));
}

// A new status with the timestamps GitLab keeps for it: started when it first runs or ends,
// finished (with its duration) when it ends, unfinished again otherwise.
void apply_status(Json& p, const std::string& status, const std::string& now) {
    p["status"] = status;
    p["updated_at"] = now;
    if (status == "running" && p["started_at"].is_null()) p["started_at"] = now;
    if (std::find(kEndStatuses.begin(), kEndStatuses.end(), Json(status)) == kEndStatuses.end()) {
        p["finished_at"] = nullptr;
        p["duration"] = nullptr;
        return;
    }
    if (p["started_at"].is_null()) p["started_at"] = now;
    p["finished_at"] = now;
    const auto start = parse_iso(p["started_at"].get<std::string>());
    const auto end = parse_iso(now);
    if (start && end) p["duration"] = std::chrono::duration_cast<std::chrono::seconds>(*end - *start).count();
}

void set_pipeline_status(Context& ctx) {
    const auto project = ctx.project();
    const Json b = json_body(ctx.req);
    const auto status = param_string(b, "status");
    if (!status || !known_status(*status)) throw status_error();
    const auto pid = param_int(Json{{"pipeline_id", ctx.arg("pipeline_id")}}, "pipeline_id").value_or(0);
    const Json record = ctx.sandbox.write([&](State& s) {
        const auto it = s.pipelines.find(pid);
        if (it == s.pipelines.end() || it->second["project_id"] != project.id) {
            throw ApiError::message(404, "404 Not found");
        }
        apply_status(it->second, *status, now_iso());
        return it->second;
    });
    send_json(ctx.res, 200, present_pipeline(record));
}

}  // namespace

void register_control_routes(Sandbox& sb) {
    sb.route("GET", "/-/sandbox/journal", get_journal, Auth::none);
    sb.route("DELETE", "/-/sandbox/journal", clear_journal, Auth::none);
    sb.route("POST", "/-/sandbox/faults", add_fault, Auth::none);
    sb.route("DELETE", "/-/sandbox/faults", clear_faults, Auth::none);
    sb.route("POST", "/-/sandbox/users", create_user, Auth::none);
    sb.route("GET", "/-/sandbox/settings", get_settings, Auth::none);
    sb.route("POST", "/-/sandbox/settings", update_settings, Auth::none);
    sb.route("POST", "/-/sandbox/projects/:id/pipelines", add_pipeline, Auth::none);
    sb.route("POST", "/-/sandbox/projects/:id/pipelines/:pipeline_id", set_pipeline_status, Auth::none);
}

}  // namespace zorv_sandbox
