// GitLab's throttles (see throttle.hpp). Names, units, windows and defaults: app/models/
// application_setting_implementation.rb (defaults), lib/gitlab/application_rate_limiter.rb (keys and
// intervals), lib/gitlab/rack_attack.rb (the 429 answer and its headers), lib/gitlab/throttle.rb
// ("Retry later"), lib/api/helpers/rate_limiter.rb (the JSON answer), doc/rate_limits/content_creation.md
// (issue creation off by default); GitLab.com's values from doc/user/gitlab_com/rate_limits.md.
#include "throttle.hpp"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <stdexcept>
#include <vector>

namespace zorv_sandbox {
namespace {

enum class Kind { flag, positive, limit, text };

struct Setting {
    const char* name;
    Kind kind;
    Json self_managed;
    Json gitlab_com;
};

// The settings, in the order GET /application/settings lists them. The Projects and Groups API limits
// are 0 (off) on a self-managed instance since GitLab 18.0, and so is issue creation
// (doc/rate_limits/content_creation.md: "disabled by default"); note creation allows 300 a minute.
const std::vector<Setting>& all_settings() {
    static const std::vector<Setting> settings = {
        {"throttle_authenticated_api_enabled", Kind::flag, false, true},
        {"throttle_authenticated_api_requests_per_period", Kind::positive, 7200, 2000},
        {"throttle_authenticated_api_period_in_seconds", Kind::positive, 3600, 60},
        {"projects_api_limit", Kind::limit, 0, 2000},
        {"project_api_limit", Kind::limit, 0, 400},
        {"group_projects_api_limit", Kind::limit, 0, 600},
        {"groups_api_limit", Kind::limit, 0, 50},
        {"group_api_limit", Kind::limit, 0, 400},
        {"notes_create_limit", Kind::limit, 300, 60},
        {"issues_create_limit", Kind::limit, 0, 200},
        {"rate_limiting_response_text", Kind::text, nullptr, nullptr},
    };
    return settings;
}

// The application limiter's limits of the routes the sandbox serves: key, route, threshold setting,
// interval in seconds, and whether the scope holds the project (issues_create: [project, user]).
struct RouteLimit {
    std::string_view key;
    std::string_view method;
    std::string_view pattern;
    std::string_view setting;
    std::int64_t interval;
    bool per_project;
};
constexpr RouteLimit kRouteLimits[] = {
    {"projects_api", "GET", "/api/v4/projects", "projects_api_limit", 600, false},
    {"project_api", "GET", "/api/v4/projects/:id", "project_api_limit", 60, false},
    {"group_projects_api", "GET", "/api/v4/groups/:id/projects", "group_projects_api_limit", 60, false},
    {"groups_api", "GET", "/api/v4/groups", "groups_api_limit", 60, false},
    {"group_api", "GET", "/api/v4/groups/:id", "group_api_limit", 60, false},
    {"notes_create", "POST", "/api/v4/projects/:id/issues/:issue_iid/notes", "notes_create_limit", 60, false},
    {"issues_create", "POST", "/api/v4/projects/:id/issues", "issues_create_limit", 60, true},
};

const RouteLimit* route_limit(std::string_view method, std::string_view pattern) {
    for (const auto& limit : kRouteLimits) {
        if (limit.method == method && limit.pattern == pattern) return &limit;
    }
    return nullptr;
}

Json preset_settings(std::string_view preset) {
    const bool com = preset == "gitlab.com";
    if (!com && preset != "self-managed") {
        throw std::invalid_argument("unknown rate limit preset " + std::string(preset) +
                                    " (known: self-managed, gitlab.com)");
    }
    Json settings = Json::object();
    for (const auto& setting : all_settings()) settings[setting.name] = com ? setting.gitlab_com : setting.self_managed;
    return settings;
}

// Time#httpdate: "Tue, 05 Jan 2021 11:00:00 GMT".
std::string http_date(std::int64_t unix_seconds) {
    const std::time_t t = unix_seconds;
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[40];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return text;
}

// Gitlab::RackAttack.throttled_response_headers, less Retry-After (which only a throttled answer has).
void set_count_headers(httplib::Response& res, const Throttle::Count& count) {
    // RateLimit-Limit is the quota per minute, rounded up: (limit * 60 / period).ceil
    const std::int64_t per_minute = (count.limit * 60 + count.period - 1) / count.period;
    const std::int64_t reset = count.now + (count.period - count.now % count.period);
    res.set_header("RateLimit-Name", "throttle_authenticated_api");
    res.set_header("RateLimit-Limit", std::to_string(per_minute));
    res.set_header("RateLimit-Observed", std::to_string(count.observed));
    res.set_header("RateLimit-Remaining", std::to_string(std::max<std::int64_t>(count.limit - count.observed, 0)));
    res.set_header("RateLimit-Reset", std::to_string(reset));
    res.set_header("RateLimit-ResetTime", http_date(reset));
}

}  // namespace

Throttle::Throttle(std::string_view preset)
    : initial_(preset), preset_(preset), settings_(preset_settings(preset)), headers_(preset == "gitlab.com") {
    settings_changed();
}

std::int64_t Throttle::now() const {
    if (frozen_) return *frozen_;
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::int64_t Throttle::add(const std::string& key, std::int64_t period, std::int64_t now) {
    auto& [window, count] = counts_[key];
    const std::int64_t current = now / period;
    if (window != current) {
        window = current;
        count = 0;
    }
    return ++count;
}

bool Throttle::counts_api() const { return api_on_.load(std::memory_order_relaxed); }

void Throttle::settings_changed() {
    api_on_.store(settings_["throttle_authenticated_api_enabled"].get<bool>(), std::memory_order_relaxed);
}

Throttle::Verdict Throttle::admit(std::int64_t user_id, httplib::Response& res) {
    Verdict verdict;
    std::string text;
    {
        std::lock_guard lock(mutex_);
        if (!settings_["throttle_authenticated_api_enabled"].get<bool>()) return verdict;
        Count count;
        count.limit = settings_["throttle_authenticated_api_requests_per_period"].get<std::int64_t>();
        count.period = settings_["throttle_authenticated_api_period_in_seconds"].get<std::int64_t>();
        count.now = now();
        count.observed = add("throttle_authenticated_api:user:" + std::to_string(user_id), count.period, count.now);
        verdict.api = count;
        verdict.refused = count.observed > count.limit;
        if (!verdict.refused) return verdict;
        const Json& custom = settings_["rate_limiting_response_text"];
        text = custom.is_string() && !custom.get<std::string>().empty() ? custom.get<std::string>() : "Retry later";
    }
    const Count& count = *verdict.api;
    res.status = 429;
    set_count_headers(res, count);
    res.set_header("Retry-After", std::to_string(count.period - count.now % count.period));
    res.set_content(text + "\n", "text/plain");
    return verdict;
}

void Throttle::check_route(std::string_view method, std::string_view pattern, std::int64_t user_id,
                           const std::function<std::optional<std::int64_t>()>& project_of) {
    const RouteLimit* limit = route_limit(method, pattern);
    if (!limit) return;
    {
        std::lock_guard lock(mutex_);
        if (settings_[std::string(limit->setting)].get<std::int64_t>() == 0) return;  // 0 turns the limit off
    }
    std::optional<std::int64_t> project_id;
    if (limit->per_project && !(project_id = project_of())) return;  // no such project: the route answers 404
    std::lock_guard lock(mutex_);
    const std::int64_t threshold = settings_[std::string(limit->setting)].get<std::int64_t>();
    if (threshold == 0) return;
    std::string key = "application_rate_limiter:" + std::string(limit->key) + ":";
    if (limit->per_project) key += "project:" + std::to_string(*project_id) + ":";
    key += "user:" + std::to_string(user_id);
    if (add(key, limit->interval, now()) > threshold) {
        throw ApiError::message(429, Json{{"error", "This endpoint has been requested too many times. Try again later."}});
    }
}

void Throttle::annotate(const Verdict& verdict, httplib::Response& res) const {
    if (!verdict.api || verdict.refused || res.status == 429) return;
    {
        std::lock_guard lock(mutex_);
        if (!headers_) return;
    }
    set_count_headers(res, *verdict.api);
}

Json Throttle::settings() const {
    std::lock_guard lock(mutex_);
    return settings_;
}

Json Throttle::update(const Json& params) {
    Json changed = Json::object();
    Json invalid = Json::object();
    std::string names;
    for (const auto& setting : all_settings()) {
        names += (names.empty() ? "" : ", ") + std::string(setting.name);
        if (!params.contains(setting.name)) continue;
        switch (setting.kind) {
        case Kind::flag:
            changed[setting.name] = *param_bool(params, setting.name);
            break;
        case Kind::text:
            changed[setting.name] = params[setting.name].is_null() ? Json(nullptr)
                                                                   : Json(*param_string(params, setting.name));
            break;
        case Kind::positive:
        case Kind::limit: {
            const auto value = param_int(params, setting.name);
            if (!value) throw ApiError::error(400, std::string(setting.name) + " is invalid");
            const bool positive = setting.kind == Kind::positive;
            if (positive ? *value <= 0 : *value < 0) {
                invalid[setting.name] = Json::array({positive ? "must be greater than 0"
                                                              : "must be greater than or equal to 0"});
            }
            changed[setting.name] = *value;
            break;
        }
        }
    }
    if (changed.empty()) throw ApiError::error(400, names + " are missing, at least one parameter must be provided");
    if (!invalid.empty()) throw ApiError::message(400, invalid);
    std::lock_guard lock(mutex_);
    for (const auto& [name, value] : changed.items()) settings_[name] = value;
    settings_changed();
    return settings_;
}

void Throttle::apply_preset(std::string_view preset) {
    Json settings = preset_settings(preset);
    std::lock_guard lock(mutex_);
    preset_ = preset;
    settings_ = std::move(settings);
    headers_ = preset == "gitlab.com";
    counts_.clear();
    settings_changed();
}

void Throttle::reset() {
    apply_preset(initial_);
    std::lock_guard lock(mutex_);
    frozen_.reset();
}

void Throttle::set_headers(bool on) {
    std::lock_guard lock(mutex_);
    headers_ = on;
}

void Throttle::set_now(std::optional<std::int64_t> now) {
    std::lock_guard lock(mutex_);
    frozen_ = now;
}

void Throttle::clear_counts() {
    std::lock_guard lock(mutex_);
    counts_.clear();
}

Json Throttle::state() const {
    std::lock_guard lock(mutex_);
    return Json{{"preset", preset_},
                {"headers", headers_},
                {"now", frozen_ ? Json(*frozen_) : Json(nullptr)},
                {"settings", settings_}};
}

}  // namespace zorv_sandbox
