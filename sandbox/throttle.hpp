// GitLab's throttles, configured by the application settings that name them (GET/PUT
// /api/v4/application/settings), as lib/gitlab/rack_attack.rb, lib/gitlab/throttle.rb and
// lib/gitlab/application_rate_limiter.rb apply them:
//
// - Rack::Attack's authenticated API throttle, in front of everything: every API request of a user
//   with a valid token is counted; over the limit it is answered 429 text/plain "Retry later\n" with
//   RateLimit-* and Retry-After headers, before routing, authentication or the route run.
// - The application limiter's limits of single endpoints (the Projects and Groups API reads, note and
//   issue creation): over the limit the request is answered 429 with a JSON message before the route's
//   handler runs. Chosen by route pattern, so a limit applies to its route as soon as the route exists.
//
// Counts are per user (issue creation: per user and project), in fixed windows aligned to Unix time,
// as GitLab's cache keys are; a refused request counts too. The control routes are never counted.
// Sandbox::handle() is the only caller of admit() and check_route(). Thread-safe.
#pragma once

#include "http.hpp"

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace zorv_sandbox {

class Throttle {
public:
    // Settings and informational headers of a preset: "self-managed" (as GitLab ships them) or
    // "gitlab.com" (GitLab.com's published limits, and RateLimit-* headers on ordinary answers).
    // std::invalid_argument for another name.
    explicit Throttle(std::string_view preset);

    // What the authenticated API throttle counted for one request.
    struct Count {
        std::int64_t observed = 0;
        std::int64_t limit = 0;
        std::int64_t period = 0;  // seconds
        std::int64_t now = 0;     // Unix seconds
    };
    struct Verdict {
        bool refused = false;  // answered 429 already
        std::optional<Count> api;
    };

    // Whether the authenticated API throttle is on (else admit() has nothing to do).
    [[nodiscard]] bool counts_api() const;
    // Rack::Attack: counts an API request of the user against throttle_authenticated_api (when
    // enabled) and, over the limit, writes the 429 answer into `res`.
    Verdict admit(std::int64_t user_id, httplib::Response& res);
    // The application limiter: counts the request against the limit of its route (`pattern` as
    // registered), if it has one and it is on, for the user (and the project `project_of` finds, where
    // the limit is per project: none, and nothing is counted); throws ApiError 429 over the limit.
    void check_route(std::string_view method, std::string_view pattern, std::int64_t user_id,
                     const std::function<std::optional<std::int64_t>()>& project_of);
    // With informational headers on, the RateLimit-* headers of the count on an answer that is not a 429.
    void annotate(const Verdict& verdict, httplib::Response& res) const;

    // The throttles' settings by GitLab's names, with their values.
    [[nodiscard]] Json settings() const;
    // Changes the settings named in `params` (PUT /application/settings), all or none: ApiError 400
    // {"error": "<name> is invalid"} for a value of the wrong type, {"message": {name: [...]}} for one
    // out of range, {"error": "... are missing, at least one parameter must be provided"} when none is
    // named. Other parameters are ignored, as GitLab ignores those it does not declare.
    Json update(const Json& params);

    // The control route's changes. A preset (std::invalid_argument for an unknown name) replaces the
    // settings and the headers choice; reset() goes back to how the program started.
    void apply_preset(std::string_view preset);
    void reset();
    void set_headers(bool on);
    // The throttles' clock stands still at `now` (Unix seconds), or follows the real one.
    void set_now(std::optional<std::int64_t> now);
    void clear_counts();
    [[nodiscard]] Json state() const;  // {"preset", "headers", "now", "settings"}

private:
    [[nodiscard]] std::int64_t now() const;  // mutex_ held
    // Adds one to the count of `key` in the window of `period` seconds holding `now`; the new count.
    std::int64_t add(const std::string& key, std::int64_t period, std::int64_t now);

    // Keeps api_on_ equal to the enabled setting; mutex_ held.
    void settings_changed();

    const std::string initial_;
    std::atomic<bool> api_on_{false};  // throttle_authenticated_api_enabled, read without the lock
    mutable std::mutex mutex_;
    std::string preset_;
    Json settings_;
    bool headers_ = false;
    std::optional<std::int64_t> frozen_;
    std::map<std::string, std::pair<std::int64_t, std::int64_t>, std::less<>> counts_;  // key -> (window, count)
};

}  // namespace zorv_sandbox
