// Routing on the raw request target: registration, matching, and the dispatch of every request
// (journal, fault rules, GitLab's throttles, authentication and scopes, the handler, errors as answers).
#include "server.hpp"

#include <algorithm>
#include <iostream>

namespace zorv_sandbox {

struct Sandbox::Route {
    std::string method;
    std::string pattern;                // as registered
    std::vector<std::string> segments;  // literal, ":name" or (last) "*name"
    int literals = 0;
    Handler handler;
    Auth auth = Auth::token;
};


namespace {

constexpr std::string_view kControlPrefix = "/-/sandbox/";

std::vector<std::string> split_path(std::string_view path) {
    std::vector<std::string> out;
    if (path.starts_with('/')) path.remove_prefix(1);
    while (true) {
        const auto slash = path.find('/');
        out.emplace_back(path.substr(0, slash));
        if (slash == std::string_view::npos) break;
        path.remove_prefix(slash + 1);
    }
    return out;
}

// The token a request authenticates with: PRIVATE-TOKEN, a bearer token, or the private_token parameter.
std::string request_secret(Context& ctx) {
    std::string secret = ctx.req.get_header_value("PRIVATE-TOKEN");
    if (secret.empty()) {
        const auto bearer = ctx.req.get_header_value("Authorization");
        if (bearer.size() > 7 && (bearer.starts_with("Bearer ") || bearer.starts_with("bearer "))) {
            secret = bearer.substr(7);
        }
    }
    if (secret.empty()) secret = param_string(ctx.params(), "private_token").value_or("");
    return secret;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Routing

void Sandbox::route(std::string method, std::string pattern, Handler handler, Auth auth) {
    auto r = std::make_shared<Route>();
    r->method = upper_ascii(std::move(method));
    r->segments = split_path(pattern);
    r->pattern = std::move(pattern);
    for (const auto& s : r->segments) {
        if (!s.starts_with(':') && !s.starts_with('*')) ++r->literals;
    }
    r->handler = std::move(handler);
    r->auth = auth;
    routes_.push_back(std::move(r));
}

const Sandbox::Route* Sandbox::match(std::string_view method, const std::vector<std::string>& segments,
                                     std::map<std::string, std::string, std::less<>>& args) const {
    const Route* best = nullptr;
    std::map<std::string, std::string, std::less<>> best_args;
    for (const auto& r : routes_) {
        if (r->method != method) continue;
        if (best != nullptr && r->literals <= best->literals) continue;
        std::map<std::string, std::string, std::less<>> found;
        bool ok = true;
        std::size_t i = 0;
        for (; i < r->segments.size() && ok; ++i) {
            const auto& pat = r->segments[i];
            if (pat.starts_with('*')) {
                if (i >= segments.size()) {
                    ok = false;
                    break;
                }
                std::string rest;
                for (std::size_t j = i; j < segments.size(); ++j) {
                    if (j > i) rest += '/';
                    rest += percent_decode(segments[j]);
                }
                found[pat.substr(1)] = std::move(rest);
                i = segments.size();
                break;
            }
            if (i >= segments.size()) {
                ok = false;
            } else if (pat.starts_with(':')) {
                if (segments[i].empty()) ok = false;
                else found[pat.substr(1)] = percent_decode(segments[i]);
            } else if (pat != segments[i]) {
                ok = false;
            }
        }
        const bool star = !r->segments.empty() && r->segments.back().starts_with('*');
        if (!ok || (!star && (i != segments.size() || r->segments.size() != segments.size()))) continue;
        best = r.get();
        best_args = std::move(found);
    }
    if (best != nullptr) args = std::move(best_args);
    return best;
}

void Sandbox::handle(const httplib::Request& req, httplib::Response& res) {
    const auto q = req.target.find('?');
    const std::string raw_path = req.target.substr(0, q);
    const std::string raw_query = q == std::string::npos ? std::string{} : req.target.substr(q + 1);
    const bool control = raw_path.starts_with(kControlPrefix);

    std::int64_t seq = 0;
    if (!control) {
        seq = journal_begin(req, raw_path, raw_query);
        if (apply_fault(req, res, raw_path, seq)) return;
    }

    Context ctx(req, res, *this, raw_path, raw_query);
    Throttle::Verdict throttled;
    try {
        const std::string method = req.method == "HEAD" ? "GET" : req.method;
        // GitLab's throttles, here and nowhere else: Rack::Attack counts every API request of a user
        // with a valid token before anything runs; the application limiter counts the route's
        // requests once the caller is known, before the handler.
        if (raw_path.starts_with("/api/") && throttle_.counts_api()) {
            const std::string secret = request_secret(ctx);
            if (const auto caller = secret.empty() ? std::nullopt : authenticate(secret)) {
                throttled = throttle_.admit(caller->user_id, res);
            }
        }
        const Route* r = throttled.refused ? nullptr : match(method, split_path(raw_path), ctx.args);
        if (throttled.refused) {
            // answered already
        } else if (r == nullptr) {
            send_error(res, 404, "404 Not Found");
        } else {
            if (r->auth == Auth::token) {
                const std::string secret = request_secret(ctx);
                ctx.caller = secret.empty() ? std::nullopt : authenticate(secret);
                if (!ctx.caller) throw ApiError::message(401, "401 Unauthorized");
                check_scopes(*ctx.caller, method, raw_path);
                throttle_.check_route(method, r->pattern, ctx.caller->user_id, [&]() -> std::optional<std::int64_t> {
                    if (const auto found = resolve_project(ctx.arg("id"))) return found->id;
                    return std::nullopt;
                });
            }
            r->handler(ctx);
        }
    } catch (const ApiError& e) {
        res.headers.clear();
        send_json(res, e.status(), e.body());
    } catch (const std::exception& e) {
        std::cerr << "zorv-gitlab-sandbox: " << req.method << ' ' << raw_path << ": " << e.what() << std::endl;
        res.headers.clear();
        send_message(res, 500, "500 Internal Server Error");
    }
    throttle_.annotate(throttled, res);
    if (!control) journal_end(seq, res.status == -1 ? 200 : res.status);
}

}  // namespace zorv_sandbox
