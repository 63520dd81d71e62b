// HTTP answers and parameter readers: the error a handler throws, the answers and paging every
// route sends, the parameters of a request as GitLab reads them, and the text and date helpers
// they rest on. Nothing here knows the sandbox's state.
#pragma once

#include <httplib.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zorv_sandbox {

using Json = nlohmann::ordered_json;

// Errors a handler may throw instead of answering itself; Sandbox::handle() turns them into the
// answer. GitLab words its errors as {"message": text-or-object} or {"error": text}.
class ApiError : public std::runtime_error {
public:
    ApiError(int status, Json body) : std::runtime_error("api error"), status_(status), body_(std::move(body)) {}
    static ApiError message(int status, Json message) { return {status, Json{{"message", std::move(message)}}}; }
    static ApiError error(int status, std::string text) { return {status, Json{{"error", std::move(text)}}}; }
    [[nodiscard]] int status() const noexcept { return status_; }
    [[nodiscard]] const Json& body() const noexcept { return body_; }

private:
    int status_;
    Json body_;
};

// ---------------------------------------------------------------------------------------------
// Answers (answers.cpp)

void send_json(httplib::Response& res, int status, const Json& body);
void send_message(httplib::Response& res, int status, const Json& message);  // {"message": ...}
void send_error(httplib::Response& res, int status, const std::string& text);  // {"error": ...}
void send_empty(httplib::Response& res, int status);                            // e.g. 204

// Page window read from the `page` and `per_page` parameters (per_page default 20, max 100;
// values that are not positive numbers fall back to the defaults, as GitLab does).
struct Page {
    std::int64_t page = 1;
    std::int64_t per_page = 20;
    [[nodiscard]] std::size_t offset() const { return static_cast<std::size_t>((page - 1) * per_page); }
};
Page page_of(const Json& params);

struct PageOptions {
    // false: GitLab's way for the commit listing: no X-Total / X-Total-Pages / rel="last", and
    // X-Next-Page only when the page came back full.
    bool count_total = true;
};
// Answers 200 with the requested page of `items` (a JSON array) and GitLab's offset paging
// headers: X-Page, X-Per-Page, X-Next-Page, X-Prev-Page ("" when none), X-Total, X-Total-Pages,
// Link (rel prev/next/first/last on the sandbox's own address, other query parameters kept).
// Lists of more than kMaxCountedRecords go without X-Total, X-Total-Pages and rel="last".
void send_page(const httplib::Request& req, httplib::Response& res, const Json& items, PageOptions options = {});
// The same for a list of `count` items of which only the page's are made: item(i) is the i-th.
void send_page(const httplib::Request& req, httplib::Response& res, std::size_t count,
               const std::function<Json(std::size_t)>& item, PageOptions options = {});
inline constexpr std::int64_t kMaxCountedRecords = 10000;
// The request's address on the sandbox with the query parameters in `set` given those values and
// those in `drop` left out, the others kept, sorted by name (Rails' to_query).
std::string query_href(const httplib::Request& req, const std::map<std::string, std::string>& set,
                       std::initializer_list<std::string_view> drop = {});

// ---------------------------------------------------------------------------------------------
// Parameters (params.cpp)

// Parameters of a request as GitLab reads them: the query string, then a form body
// (application/x-www-form-urlencoded or multipart) or a JSON body on top. Form values are
// strings, Rack's nested keys are understood (`scopes[]=a`, `actions[][file_path]=x`); JSON
// values keep their types. A malformed JSON body throws ApiError 400.
Json params(const httplib::Request& req);
// The body as a JSON object whatever its Content-Type (the control routes'); empty: {}. Anything else
// throws ApiError 400 {"message":"the body must be a JSON object"}.
Json json_body(const httplib::Request& req);

// Typed parameter readers. They return nullopt when the key is absent (or null) and throw
// ApiError 400 {"error":"<key> is invalid"} when a value cannot be read as the type.
std::optional<std::string> param_string(const Json& params, const std::string& key);
std::optional<std::int64_t> param_int(const Json& params, const std::string& key);
// Grape's Boolean coercion: 1 on On ON t true True TRUE T y yes Yes YES Y and JSON true are true;
// 0 off Off OFF f false False FALSE F n no No NO N and JSON false are false; else invalid.
std::optional<bool> param_bool(const Json& params, const std::string& key);
// Throws 400 {"error":"a is missing, b is missing"} for every absent or empty key.
void require_params(const Json& params, std::initializer_list<const char*> keys);

// ---------------------------------------------------------------------------------------------
// Text (text.cpp)

std::string percent_decode(std::string_view text);   // '%XX' only; '+' stays '+'
std::string form_decode(std::string_view text);      // '%XX' and '+' as space
std::string percent_encode(std::string_view text);   // everything but unreserved characters
// The name=value pairs of a query string or form body, both form-decoded, in their order; empty
// pairs ("a=1&&b=2") are skipped and a pair without '=' has the value "".
std::vector<std::pair<std::string, std::string>> form_pairs(std::string_view text);
std::string lower_ascii(std::string_view text);
std::string upper_ascii(std::string_view text);
// Digits only (and not too long for an int64): the number; else nullopt.
std::optional<std::int64_t> numeric_id(std::string_view text);
std::string random_hex(std::size_t bytes);

// ---------------------------------------------------------------------------------------------
// Dates (dates.cpp)

// Microsecond resolution keeps far dates (year 2999) in range.
using TimePoint = std::chrono::sys_time<std::chrono::microseconds>;
// Parses ISO 8601 date-times as GitLab accepts them ("2024-05-01", "...T12:00:00Z",
// "...T12:00:00.250000Z", "...+02:00"); nullopt when unreadable.
std::optional<TimePoint> parse_iso(std::string_view text);
std::string iso_from(TimePoint t);                         // "2024-05-01T12:00:00.123Z"
std::string iso_from(std::chrono::system_clock::time_point t);
std::string now_iso();
std::string date_in_days(int days);  // "YYYY-MM-DD" (UTC), `days` from today

}  // namespace zorv_sandbox
