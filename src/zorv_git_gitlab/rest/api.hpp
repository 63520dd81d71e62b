// The request cycle every operation shares: build the URL below api_url, wait for the context's pacing,
// send with the PRIVATE-TOKEN header, retry by the retry policy, and hand back the answer to be judged by
// its status; a 429 the retries do not overcome raises RateLimitedError instead, so that no operation
// reads it as a refusal or a miss. Also paging, and reading fields of server records with errors that
// name the operation.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "rest/retry_policy.hpp"
#include "rest/transport.hpp"
#include "rest/url.hpp"
#include "zorv_git_gitlab/context.hpp"
#include "zorv_git_gitlab/json.hpp"

namespace zorv_git_gitlab::rest {

class Api;

// One answer, with what is needed to name it in an error.
class Response {
public:
    Response(HttpResponse http, std::string what, std::string operation)
        : http_(std::move(http)), what_(std::move(what)), operation_(std::move(operation)) {}

    [[nodiscard]] long status() const noexcept { return http_.status; }
    [[nodiscard]] const std::string& body() const noexcept { return http_.body; }
    [[nodiscard]] std::optional<std::string> header(std::string_view name) const { return http_.header(name); }
    // The body decoded as JSON, keys in the server's order; JsonDecodeError when it is not JSON.
    [[nodiscard]] Json json() const;
    // The decoded body when the status is one of `expected`, else no value.
    [[nodiscard]] std::optional<Json> json_if(std::initializer_list<long> expected) const;

private:
    HttpResponse http_;
    std::string what_;  // "GET https://host/api/v4/projects?..."
    std::string operation_;
};

// Where an Api sends its requests and what it waits with between tries: libcurl and real time, or
// fakes in tests.
struct Wire {
    Transport& transport = curl_transport();
    Clock& clock = steady_clock();
    Jitter jitter = random_jitter;
};

class Api {
public:
    Api(Context& ctx, std::string operation, Wire wire = {});

    Response get(const Path& path, const Params& query = {});
    Response post(const Path& path);  // no body
    Response post_json(const Path& path, const Json& body);
    Response put_json(const Path& path, const Json& body);
    Response post_form(const Path& path, const Params& form);
    Response put_form(const Path& path, const Params& form);
    Response post_query(const Path& path, const Params& query);
    Response put_query(const Path& path, const Params& query);
    Response del(const Path& path);
    // A POST whose JSON body is produced while it is sent (see HttpRequest::body_source).
    Response post_json_stream(const Path& path, BodySource source);

    // Every page of a list (per_page=100, following X-Next-Page, else Link rel="next") as one array in
    // the server's order; no value when a page is refused or is not an array (the refusing answer is
    // then stored in `refused` when given).
    std::optional<Json> get_all(const Path& path, Params query = {}, std::optional<Response>* refused = nullptr);
    // The first element of a paged list for which `match` holds, reading no page past it. No value when
    // none matches or a page is refused.
    std::optional<Json> find(const Path& path, Params query, const std::function<bool(const Json&)>& match);
    // GETs the pages of a list (per_page=100) one after the other, handing each accepted answer (status
    // 200), undecoded, to `on_page` until it returns false or no page follows. Returns the answer that
    // refused a page, if one did.
    std::optional<Response> each_page(const Path& path, Params query,
                                      const std::function<bool(const Response& page, int index)>& on_page);

    [[nodiscard]] const std::string& operation() const noexcept { return operation_; }
    [[nodiscard]] const Config& config() const noexcept { return config_; }

private:
    Response send(Method method, std::string url, std::string body, std::string_view content_type);
    Response send(HttpRequest request, std::string_view content_type);
    // One try through the transport, with its DEBUG record.
    HttpResponse attempt(const HttpRequest& request);
    // For a wait of more than a second, an INFO record "<operation>: <before>METHOD /path<after>".
    void note_wait(std::chrono::milliseconds wait, const HttpRequest& request, const std::string& before,
                   const std::string& after);
    std::string url(const Path& path, const Params& query) const;

    Context& ctx_;
    std::string operation_;
    Config config_;
    Wire wire_;
};

// A field of a server record; MissingFieldError naming the operation when absent.
const Json& field(const Json& record, std::string_view name, std::string_view operation);

// An id as it stands in a URL: integers in decimal, texts as they are.
std::string id_text(const Json& id);

}  // namespace zorv_git_gitlab::rest
