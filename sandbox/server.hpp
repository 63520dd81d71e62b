// The sandbox server's shared state and the helpers every route uses.
//
// Routing works on the RAW request target, never on httplib's decoded `req.path`:
//   * Routes are registered with Sandbox::route(method, pattern, handler), not with httplib's
//     Get/Post: httplib only sees catch-all handlers that hand every request to Sandbox::handle().
//   * A pattern is a path of literal segments and `:name` segments, e.g.
//       "/api/v4/projects/:id/repository/branches/:branch"
//     A `:name` segment matches exactly one raw segment (no '/'), and the handler gets its
//     percent-decoded value through ctx.arg("name"). So `branches/release%2F1.0` matches with
//     branch = "release/1.0", while `branches/release/1.0` matches nothing (404, as GitLab does).
//     A last segment `*name` matches the rest of the path (one or more segments); ctx.arg("name")
//     is the decoded rest with its '/' separators kept (used for git's `/<full path>.git/...`).
//   * When several patterns match, the one with more literal segments wins; then the first
//     registered.
//   * Before routing, every request outside `/-/sandbox/` is journaled and checked against the
//     fault rules. Routes registered with Auth::token answer 401 {"message":"401 Unauthorized"}
//     without a valid token and 403 insufficient_scope when its scopes do not admit the request
//     (check_scopes); Auth::none routes (git over HTTPS, control routes) check nothing.
//     Unmatched paths answer 404 {"error":"404 Not Found"}.
//   * httplib has already decompressed a gzip'ed request body (Content-Encoding: gzip) before the
//     handler runs: req.body is the plain body, although the header is still present.
//
// State: one mutex guards State. Use Sandbox::read() / Sandbox::write() with a callable; write()
// also has the state file saved when the data directory is persistent (by a background writer that
// gathers the changes of 0.2 s into one save, and once more on exit). Never call another Sandbox
// method that locks (add_pipeline, authenticate, resolve_project, ...) from inside them.
#pragma once

#include <httplib.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <vector>

namespace zorv_sandbox {

using Json = nlohmann::ordered_json;

// ---------------------------------------------------------------------------------------------
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
// Answers and helpers that need no Sandbox.

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
void send_page(const httplib::Request& req, httplib::Response& res, const Json& items, PageOptions options = {});

// Parameters of a request as GitLab reads them: the query string, then a form body
// (application/x-www-form-urlencoded or multipart) or a JSON body on top. Form values are
// strings, Rack's nested keys are understood (`scopes[]=a`, `actions[][file_path]=x`); JSON
// values keep their types. A malformed JSON body throws ApiError 400.
Json params(const httplib::Request& req);

// Typed parameter readers. They return nullopt when the key is absent (or null) and throw
// ApiError 400 {"error":"<key> is invalid"} when a value cannot be read as the type.
std::optional<std::string> param_string(const Json& params, const std::string& key);
std::optional<std::int64_t> param_int(const Json& params, const std::string& key);
// Grape's Boolean coercion: 1 on On ON t true True TRUE T y yes Yes YES Y and JSON true are true;
// 0 off Off OFF f false False FALSE F n no No NO N and JSON false are false; else invalid.
std::optional<bool> param_bool(const Json& params, const std::string& key);
// Throws 400 {"error":"a is missing, b is missing"} for every absent or empty key.
void require_params(const Json& params, std::initializer_list<const char*> keys);

std::string percent_decode(std::string_view text);   // '%XX' only; '+' stays '+'
std::string form_decode(std::string_view text);      // '%XX' and '+' as space
std::string percent_encode(std::string_view text);   // everything but unreserved characters
std::string now_iso();                                // "2024-05-01T12:00:00.123Z"
// Parses ISO 8601 date-times as GitLab accepts them ("2024-05-01", "...T12:00:00Z",
// "...T12:00:00.250000Z", "...+02:00"); nullopt when unreadable.
// Microsecond resolution keeps far dates (year 2999) in range.
using TimePoint = std::chrono::sys_time<std::chrono::microseconds>;
std::optional<TimePoint> parse_iso(std::string_view text);
std::string iso_from(TimePoint t);
std::string iso_from(std::chrono::system_clock::time_point t);
std::string random_hex(std::size_t bytes);
std::string upper_ascii(std::string text);
std::string date_in_days(int days);  // "YYYY-MM-DD" (UTC), `days` from today

// The default branch of new projects: Gitlab::DefaultBranch.value (lib/gitlab/default_branch.rb)
// gives "main" unless an instance or group setting names another.
inline constexpr const char* kDefaultBranch = "main";

// ---------------------------------------------------------------------------------------------
// State. Records are kept as GitLab's JSON representation (field names and types as GitLab sends
// them); the few things GitLab never shows live beside them.

struct UserEntry {
    Json record;  // id, username, name, state, locked, avatar_url, web_url, created_at, bot, ...
    bool admin = false;
    std::int64_t namespace_id = 0;  // the user's personal namespace (projects without a group)
};

struct TokenEntry {
    Json record;         // id, name, revoked, created_at, description, scopes, user_id,
                         // last_used_at, active, expires_at (+ access_level for group tokens)
    std::string secret;  // the token text itself, shown once on creation
    std::optional<std::int64_t> group_id;  // set for group access tokens
};

struct ProjectEntry {
    Json record;  // the project record as GET /projects/:id shows it
    std::int64_t next_issue_iid = 1;
    std::int64_t next_pipeline_iid = 1;
    std::int64_t next_merge_request_iid = 1;
};

struct State {
    std::int64_t next_user_id = 1;
    std::int64_t next_token_id = 1;
    std::int64_t next_namespace_id = 1;  // groups and users' personal namespaces share ids
    std::int64_t next_project_id = 1;
    std::int64_t next_pipeline_id = 1;
    std::int64_t next_issue_id = 1;
    std::int64_t next_note_id = 1;
    std::int64_t next_merge_request_id = 1;

    std::map<std::int64_t, UserEntry> users;
    std::map<std::int64_t, TokenEntry> tokens;
    std::unordered_map<std::string, std::int64_t> token_ids;  // secret -> token id
    std::map<std::int64_t, Json> groups;                       // id -> group record
    std::map<std::int64_t, ProjectEntry> projects;
    std::map<std::int64_t, std::map<std::string, Json>> project_variables;  // project id -> key -> record
    std::map<std::int64_t, std::map<std::string, Json>> group_variables;    // group id -> key -> record
    std::map<std::int64_t, Json> pipelines;       // id -> record (has project_id)
    std::map<std::int64_t, Json> issues;          // id -> record (has project_id, iid)
    std::map<std::int64_t, Json> notes;           // id -> record (has noteable_id)
    std::map<std::int64_t, Json> merge_requests;  // id -> record (has project_id, iid); repository routes
    // Direct memberships: group id -> user id -> access level (10..50). A group's creator is its
    // Owner; a group access token's bot is a member with the token's level. Levels are inherited
    // by subgroups.
    std::map<std::int64_t, std::map<std::int64_t, int>> group_members;
};

// What makes a minted token a group access token: its group, and its level there.
struct GroupTokenOf {
    std::int64_t group_id = 0;
    std::int64_t access_level = 0;
};
// Adds a personal access token of `user_id` (or, with `group`, a group access token whose bot user is
// `user_id`) to `s`; its record in GitLab's field order, with the secret as "token". `description` is
// text or null, `expires_at` "YYYY-MM-DD" or null.
Json mint_token(State& s, const std::string& name, const Json& description, const Json& scopes,
                std::int64_t user_id, const Json& expires_at, std::optional<GroupTokenOf> group = std::nullopt);
// PersonalAccessToken#active? (app/models/personal_access_token.rb), for personal and group access
// tokens alike: neither revoked nor expired. A token expires at the start of its expiry date (UTC).
bool token_active(const Json& record);
// A token's record as the API shows it: `active` as of now, never the secret.
Json present_token(const Json& record);

// Who made the request (from its token).
struct Caller {
    std::int64_t user_id = 0;
    std::int64_t token_id = 0;
    bool admin = false;
    std::optional<std::int64_t> group_id;  // set when a group access token was used
    Json scopes = Json::array();
};

// Throws GitLab's 403 insufficient_scope answer unless the caller's token holds a scope that admits
// `method` on the API path `raw_path`.
void check_scopes(const Caller& caller, std::string_view method, std::string_view raw_path);

// A project as a route needs it: a copy of the record, and where its bare repository lives.
struct ProjectRef {
    std::int64_t id = 0;
    Json record;
    std::filesystem::path repository;
};

struct Config {
    int port = 0;                     // 0: a free port
    std::filesystem::path data_dir;   // empty: a temporary directory removed on exit
    std::string admin_token;          // empty: a random one (or the saved one)
    int threads = 64;
    bool registry = true;             // false: an instance without a container registry
};

class Sandbox;

enum class Auth { token, none };

// One request being answered by a route.
struct Context {
    Context(const httplib::Request& request, httplib::Response& response, Sandbox& sb, std::string path,
            std::string query)
        : req(request), res(response), sandbox(sb), raw_path(std::move(path)), raw_query(std::move(query)) {}

    const httplib::Request& req;
    httplib::Response& res;
    Sandbox& sandbox;
    std::string raw_path;   // as sent, percent-encoded, without the query
    std::string raw_query;  // as sent, without '?'
    std::map<std::string, std::string, std::less<>> args;  // decoded :name / *name values
    std::optional<Caller> caller;                          // set on Auth::token routes

    [[nodiscard]] const std::string& arg(std::string_view name) const;
    const Json& params();  // parsed on first use
    // Resolves the :id argument (numeric id or URL-encoded full path); throws ApiError 404
    // {"message":"404 Project Not Found"} when there is none.
    ProjectRef project(std::string_view arg_name = "id");
    // Throws 403 {"message":"403 Forbidden"} unless the caller is an administrator.
    void require_admin() const;

private:
    std::optional<Json> params_;
};

using Handler = std::function<void(Context&)>;

class Sandbox {
public:
    explicit Sandbox(Config config);
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    // -- routes
    void route(std::string method, std::string pattern, Handler handler, Auth auth = Auth::token);
    // Entry point for every request (installed as httplib's only handler).
    void handle(const httplib::Request& req, httplib::Response& res);

    // -- configuration
    [[nodiscard]] std::string host() const;      // "127.0.0.1:<port>"
    [[nodiscard]] std::string base_url() const;  // "https://127.0.0.1:<port>"
    [[nodiscard]] int port() const { return port_.load(); }
    void set_port(int port) { port_.store(port); }
    [[nodiscard]] const std::filesystem::path& data_dir() const { return data_dir_; }
    [[nodiscard]] std::filesystem::path repositories_dir() const { return data_dir_ / "repositories"; }
    // Bare repository of a project: <data dir>/repositories/<path_with_namespace>.git
    [[nodiscard]] std::filesystem::path repository_path(const Json& project_record) const;
    [[nodiscard]] const std::string& admin_token() const { return admin_token_; }
    [[nodiscard]] int threads() const { return config_.threads; }
    [[nodiscard]] bool registry() const { return config_.registry; }

    // -- settings changed by POST /-/sandbox/settings
    [[nodiscard]] Json settings() const;
    [[nodiscard]] std::chrono::milliseconds merge_check_delay() const;
    void update_settings(const Json& changes);

    // -- state
    template <class F>
    auto read(F&& f) const {
        std::lock_guard lock(state_mutex_);
        return std::forward<F>(f)(static_cast<const State&>(state_));
    }
    template <class F>
    auto write(F&& f) {
        if constexpr (std::is_void_v<decltype(f(state_))>) {
            {
                std::lock_guard lock(state_mutex_);
                std::forward<F>(f)(state_);
            }
            persist();
        } else {
            std::unique_lock lock(state_mutex_);
            auto result = std::forward<F>(f)(state_);
            lock.unlock();
            persist();
            return result;
        }
    }

    // -- shared lookups (they lock the state themselves)
    std::optional<Caller> authenticate(std::string_view secret) const;
    std::optional<ProjectRef> resolve_project(std::string_view id_or_path) const;
    // Records a new pipeline (status "pending", source "push") for a commit on a branch and
    // returns its record. Call it for every new commit on a branch, outside read()/write().
    Json add_pipeline(std::int64_t project_id, const std::string& ref, const std::string& sha,
                      std::optional<std::int64_t> user_id = std::nullopt);
    // A user's record as GitLab shows it (UserBasic fields); `detailed` adds the fields of
    // GET /user (email, created_at, is_admin ...). Call with the state locked (inside read/write).
    Json user_record(const State& state, std::int64_t user_id, bool detailed = false) const;

    // -- creation helpers (used by routes and the control routes)
    // Creates a user with a personal access token; returns the user record plus "token".
    Json create_user(const std::string& username, const std::string& name, bool admin);

    // -- journal and fault rules (control routes)
    Json journal() const;
    void clear_journal();
    std::int64_t add_fault(const Json& rule);  // throws ApiError 400 for a malformed rule
    void clear_faults();

    // -- lifetime
    // Sleeps up to `d`, returning early (false) when the sandbox is stopping.
    bool sleep_for(std::chrono::milliseconds d) const;
    [[nodiscard]] bool stopping() const { return stopping_.load(); }
    void begin_stop();
    // Loads the saved state (persistent data dir) or creates the administrator; call once.
    void start();

private:
    struct Route;
    struct Fault;
    struct JournalEntry;

    void persist();  // marks the state changed for the background writer
    void save_loop();
    void save_now();
    void load_state();
    [[nodiscard]] Json state_to_json(const State& state) const;
    void state_from_json(const Json& j);       // state_mutex_ held
    const Route* match(std::string_view method, const std::vector<std::string>& segments,
                       std::map<std::string, std::string, std::less<>>& args) const;
    bool apply_fault(const httplib::Request& req, httplib::Response& res, const std::string& raw_path,
                     std::int64_t seq);
    std::int64_t journal_begin(const httplib::Request& req, const std::string& raw_path,
                               const std::string& raw_query);
    void journal_end(std::int64_t seq, const Json& status);

    Config config_;
    std::filesystem::path data_dir_;
    bool temporary_ = false;  // data dir removed on exit
    std::string admin_token_;
    std::atomic<int> port_{0};

    std::vector<std::shared_ptr<const Route>> routes_;  // filled before serving, then read only

    mutable std::mutex state_mutex_;
    State state_;
    std::mutex save_mutex_;
    std::condition_variable save_cv_;
    bool save_pending_ = false;
    bool save_stop_ = false;
    std::thread saver_;  // last member: started last, joined first

    mutable std::mutex settings_mutex_;
    Json settings_;

    mutable std::mutex journal_mutex_;
    std::deque<Json> journal_;
    std::int64_t next_seq_ = 1;

    std::mutex faults_mutex_;
    std::vector<std::shared_ptr<Fault>> faults_;
    std::int64_t next_fault_id_ = 1;

    std::atomic<bool> stopping_{false};
    mutable std::mutex stop_mutex_;
    mutable std::condition_variable stop_cv_;
};

// Route registration of the parts of the server, each in its own file: named handlers, then a
// registration function listing the routes.
void register_control_routes(Sandbox& sandbox);
void register_user_routes(Sandbox& sandbox);      // users, personal access tokens
void register_group_routes(Sandbox& sandbox);     // groups, subgroups, group access tokens
void register_project_routes(Sandbox& sandbox);   // projects
void register_ci_routes(Sandbox& sandbox);        // variables, pipelines
void register_issue_routes(Sandbox& sandbox);     // issues, notes

}  // namespace zorv_sandbox
