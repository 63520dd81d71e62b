#include "rest/api.hpp"

#include <chrono>
#include <cstdio>
#include <set>

#include "rest/pacing.hpp"
#include "zorv_git_gitlab/errors.hpp"

namespace zorv_git_gitlab::rest {
namespace {

constexpr std::string_view kJson = "application/json";
constexpr std::string_view kForm = "application/x-www-form-urlencoded";
constexpr int kMaxPages = 100000;

std::string dump_body(const Json& body, std::string_view operation) {
    try {
        return body.dump();
    } catch (const Json::type_error& e) {
        throw Error(std::string(operation) + ": a value of the request is not valid UTF-8 text");
    }
}

// The URL of the next page, from X-Next-Page (a page number) or else the Link header's rel="next"
// (followed only when it stays below the API root, so the token never goes to another server).
std::optional<std::string> next_page_url(const Response& response, const std::string& base_url,
                                         const std::string& api_root) {
    if (const auto next = response.header("X-Next-Page"); next && !next->empty()) {
        return base_url + (base_url.find('?') == std::string::npos ? "?" : "&") + "page=" + form_encode(*next);
    }
    const auto link = response.header("Link");
    if (!link) return std::nullopt;
    std::string_view rest = *link;
    while (!rest.empty()) {
        const auto comma = rest.find(',');
        std::string_view part = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
        const auto open = part.find('<');
        const auto close = part.find('>');
        if (open == std::string_view::npos || close == std::string_view::npos || close < open) continue;
        const std::string_view params = part.substr(close + 1);
        if (params.find("rel=\"next\"") == std::string_view::npos && params.find("rel=next") == std::string_view::npos) {
            continue;
        }
        std::string url(part.substr(open + 1, close - open - 1));
        if (url.starts_with(api_root)) return url;
        return std::nullopt;
    }
    return std::nullopt;
}

// The URL without scheme and host: "/api/v4/projects?search=app".
std::string target_of(const std::string& url) {
    const auto scheme = url.find("://");
    const auto path = scheme == std::string::npos ? 0 : url.find('/', scheme + 3);
    return path == std::string::npos ? std::string("/") : url.substr(path);
}

// The same without the query, which may hold a note's text: for the lines a person reads.
std::string path_of(const std::string& url) {
    std::string target = target_of(url);
    return target.substr(0, target.find('?'));
}

// "1.5 seconds"
std::string seconds_text(std::chrono::milliseconds wait) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f seconds", static_cast<double>(wait.count()) / 1000.0);
    return text;
}

// The error for a request still refused with 429 when its retries end: the operation, method and path,
// the throttle's name and what the server asked to wait.
RateLimitedError rate_limited(std::string_view operation, const HttpRequest& request, const HttpResponse& response,
                              const RetryPolicy& policy) {
    const std::string target = path_of(request.url);
    const std::string name = response.header("RateLimit-Name").value_or("");
    const auto asked = response.number_header("Retry-After");
    std::string message = std::string(operation) + ": " + std::string(method_name(request.method)) + " " + target +
                          " was refused with 429 Too Many Requests" + (name.empty() ? "" : " by " + name);
    const auto left = std::chrono::duration_cast<std::chrono::seconds>(policy.time_left());
    if (asked && std::chrono::seconds(*asked) > policy.time_left()) {
        message += "; the server asked to wait " + std::to_string(*asked) + " s, more than the " +
                   std::to_string(left.count()) + " s left of retry_total_time";
    } else {
        message += "; still refused after " + std::to_string(policy.tries()) + " tries" +
                   (asked && *asked > 0 ? " (the server asked to wait " + std::to_string(*asked) + " s more)" : "");
    }
    return {message, asked, name};
}

}  // namespace

Json Response::json() const {
    try {
        return Json::parse(http_.body);
    } catch (const Json::exception&) {
        // parse_error for malformed text, out_of_range for a number beyond double (such as 1e400).
        throw JsonDecodeError(operation_ + ": " + what_ + " answered " + std::to_string(http_.status) +
                              " with a body that is not JSON");
    }
}

std::optional<Json> Response::json_if(std::initializer_list<long> expected) const {
    for (const long status : expected) {
        if (status == http_.status) return json();
    }
    return std::nullopt;
}

Api::Api(Context& ctx, std::string operation, Wire wire)
    : ctx_(ctx), operation_(std::move(operation)), config_(ctx.config()), wire_(std::move(wire)) {}

std::string Api::url(const Path& path, const Params& query) const {
    std::string out = config_.api_url + path.text();
    if (!query.empty()) out += "?" + form_encode(query);
    return out;
}

Response Api::send(Method method, std::string url, std::string body, std::string_view content_type) {
    HttpRequest request;
    request.method = method;
    request.url = std::move(url);
    request.body = std::move(body);
    return send(std::move(request), content_type);
}

Response Api::send(HttpRequest request, std::string_view content_type) {
    if (config_.token) request.headers.push_back("PRIVATE-TOKEN: " + *config_.token);
    if (!content_type.empty()) request.headers.push_back("Content-Type: " + std::string(content_type));
    std::string what = std::string(method_name(request.method)) + " " + request.url;
    Pacing::State& pacing = ctx_.pacing().state();
    std::optional<RetryPolicy> policy;  // its time starts with the first try, after any wait for its turn
    for (;; ++request.attempt) {
        const auto turn = pacing.take_turn(config_.settings, wire_.clock);
        if (turn.wait > std::chrono::milliseconds(0)) {
            const bool budget = turn.reason == Pacing::State::Reason::budget;
            note_wait(turn.wait, request,
                      "waiting " + seconds_text(turn.wait) +
                          (budget ? " until the server's rate limit resets before " : " to keep to max_requests_per_second before "),
                      "");
            wire_.clock.sleep_for(turn.wait);
        }
        if (!policy) policy.emplace(config_.settings, request.method, wire_.clock, wire_.jitter);
        std::optional<std::chrono::milliseconds> wait;
        try {
            HttpResponse response = attempt(request);
            pacing.observe(turn, response, config_.settings, wire_.clock);
            wait = policy->after_answer(response);
            if (!wait) {
                // A 429 is never an answer to judge: GitLab did not look at the request.
                if (response.status == 429) throw rate_limited(operation_, request, response, *policy);
                return Response(std::move(response), std::move(what), operation_);
            }
            if (response.status == 429) {
                const auto name = response.header("RateLimit-Name");
                note_wait(*wait, request, "",
                          " answered 429" + (name ? " (" + *name + ")" : std::string()) + "; trying again in " +
                              seconds_text(*wait));
            }
        } catch (const ConnectionDroppedError&) {
            wait = policy->after_drop();
            if (!wait) throw;
        }
        wire_.clock.sleep_for(*wait);
    }
}

void Api::note_wait(std::chrono::milliseconds wait, const HttpRequest& request, const std::string& before,
                    const std::string& after) {
    if (wait <= std::chrono::seconds(1) || !ctx_.log_enabled(LogLevel::info)) return;
    ctx_.log(LogLevel::info,
             operation_ + ": " + before + std::string(method_name(request.method)) + " " + path_of(request.url) + after);
}

HttpResponse Api::attempt(const HttpRequest& request) {
    if (!ctx_.log_enabled(LogLevel::debug)) return wire_.transport.send(request, config_.settings);
    // "GET /api/v4/projects?search=app -> 200, 12 ms, attempt 1": the URL without scheme and host.
    // Headers (and with them the token) are never part of it.
    std::string record = std::string(method_name(request.method)) + " " + target_of(request.url) + " -> ";
    const auto start = wire_.clock.now();
    const auto trace = [&](const std::string& outcome) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wire_.clock.now() - start).count();
        ctx_.log(LogLevel::debug,
                 record + outcome + ", " + std::to_string(ms) + " ms, attempt " + std::to_string(request.attempt));
    };
    try {
        HttpResponse response = wire_.transport.send(request, config_.settings);
        trace(std::to_string(response.status));
        return response;
    } catch (const TransportError& e) {
        // The message begins with the method and URL, already in the record.
        std::string_view detail = e.what();
        const std::string named = std::string(method_name(request.method)) + " " + request.url + ": ";
        if (detail.starts_with(named)) detail.remove_prefix(named.size());
        trace("no answer: " + std::string(detail));
        throw;
    }
}

Response Api::get(const Path& path, const Params& query) { return send(Method::get, url(path, query), {}, {}); }
Response Api::post(const Path& path) { return send(Method::post, url(path, {}), {}, {}); }
Response Api::del(const Path& path) { return send(Method::del, url(path, {}), {}, {}); }

Response Api::post_json(const Path& path, const Json& body) {
    return send(Method::post, url(path, {}), dump_body(body, operation_), kJson);
}
Response Api::put_json(const Path& path, const Json& body) {
    return send(Method::put, url(path, {}), dump_body(body, operation_), kJson);
}
Response Api::post_form(const Path& path, const Params& form) {
    return send(Method::post, url(path, {}), form_encode(form), kForm);
}
Response Api::put_form(const Path& path, const Params& form) {
    return send(Method::put, url(path, {}), form_encode(form), kForm);
}
Response Api::post_query(const Path& path, const Params& query) {
    return send(Method::post, url(path, query), {}, {});
}
Response Api::put_query(const Path& path, const Params& query) { return send(Method::put, url(path, query), {}, {}); }

Response Api::post_json_stream(const Path& path, BodySource source) {
    HttpRequest request;
    request.method = Method::post;
    request.url = url(path, {});
    request.body_source = std::move(source);
    return send(std::move(request), kJson);
}

std::optional<Response> Api::each_page(const Path& path, Params query,
                                       const std::function<bool(const Response& page, int index)>& on_page) {
    query.emplace_back("per_page", "100");
    const std::string first = url(path, query);
    std::string next = first;
    std::set<std::string> seen;  // a server that names a page twice would otherwise loop forever
    for (int index = 0; index < kMaxPages && seen.insert(next).second; ++index) {
        Response response = send(Method::get, next, {}, {});
        if (response.status() != 200) return response;
        if (!on_page(response, index)) break;
        const auto following = next_page_url(response, first, config_.api_url);
        if (!following) break;
        next = *following;
    }
    return std::nullopt;
}

std::optional<Json> Api::find(const Path& path, Params query, const std::function<bool(const Json&)>& match) {
    std::optional<Json> found;
    each_page(path, std::move(query), [&](const Response& response, int) {
        Json page = response.json();
        if (!page.is_array()) return false;
        for (auto& item : page) {
            if (match(item)) {
                found = std::move(item);
                return false;
            }
        }
        return true;
    });
    return found;
}

std::optional<Json> Api::get_all(const Path& path, Params query, std::optional<Response>* refused_answer) {
    Json all = Json::array();
    bool malformed = false;
    auto refused = each_page(path, std::move(query), [&](const Response& response, int index) {
        Json page = response.json();
        if (!page.is_array()) {
            // A single record on the first page is handed back as the server sent it.
            if (index == 0) {
                all = std::move(page);
            } else {
                malformed = true;
            }
            return false;
        }
        for (auto& item : page) all.push_back(std::move(item));
        return true;
    });
    if (refused) {
        if (refused_answer) refused_answer->emplace(std::move(*refused));
        return std::nullopt;
    }
    if (malformed) return std::nullopt;
    return all;
}

const Json& field(const Json& record, std::string_view name, std::string_view operation) {
    if (record.is_object()) {
        if (const auto it = record.find(name); it != record.end()) return *it;
    }
    throw MissingFieldError(std::string(operation), std::string(name));
}

std::string id_text(const Json& id) {
    if (id.is_string()) return id.get<std::string>();
    return id.dump();
}

}  // namespace zorv_git_gitlab::rest
