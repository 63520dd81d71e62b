// The throttles' configuration: GitLab's application settings that name them (lib/api/settings.rb:
// administrators only, `before { authenticated_as_admin! }`), and the control route that sets a preset,
// the informational headers and the throttles' clock for tests.
#include "routes.hpp"

namespace zorv_sandbox {

namespace {

void get_application_settings(Context& ctx) {
    ctx.require_admin();
    send_json(ctx.res, 200, ctx.sandbox.throttle().settings());
}

void update_application_settings(Context& ctx) {
    ctx.require_admin();
    send_json(ctx.res, 200, ctx.sandbox.throttle().update(ctx.params()));
}

// {"preset": "self-managed"|"gitlab.com", "reset": true, "headers": bool, "now": Unix seconds|null},
// each optional, applied in that order; the counts are cleared in any case.
void set_rate_limits(Context& ctx) {
    const Json body = json_body(ctx.req);
    Throttle& throttle = ctx.sandbox.throttle();
    try {
        if (const auto preset = param_string(body, "preset")) throttle.apply_preset(*preset);
    } catch (const std::invalid_argument& e) {
        throw ApiError::message(400, e.what());
    }
    if (param_bool(body, "reset").value_or(false)) throttle.reset();
    if (const auto headers = param_bool(body, "headers")) throttle.set_headers(*headers);
    if (body.contains("now")) throttle.set_now(param_int(body, "now"));
    throttle.clear_counts();
    send_json(ctx.res, 200, throttle.state());
}

}  // namespace

void register_rate_limit_routes(Sandbox& sb) {
    sb.route("GET", "/api/v4/application/settings", get_application_settings);
    sb.route("PUT", "/api/v4/application/settings", update_application_settings);
    sb.route("POST", "/-/sandbox/rate-limits", set_rate_limits, Auth::none);
}

}  // namespace zorv_sandbox
