// The server core: configuration, the request context and the Sandbox (routes, state, journal,
// fault rules, lifetime). routes.hpp lists the route files; docs/sandbox.md ("Adding a route")
// tells how routes match the raw request target and how to add one.
//
// State: one mutex guards State. Use Sandbox::read() / Sandbox::write() with a callable; write()
// also has the state file saved when the data directory is persistent (by a background writer that
// gathers the changes of 0.2 s into one save, and once more on exit). Never call another Sandbox
// method that locks (add_pipeline, authenticate, resolve_project, ...) from inside them.
#pragma once

#include "state.hpp"
#include "throttle.hpp"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

namespace zorv_sandbox {

struct Config {
    int port = 0;                     // 0: a free port
    std::filesystem::path data_dir;   // empty: a temporary directory removed on exit
    std::string admin_token;          // empty: a random one (or the saved one)
    int threads = 64;
    bool registry = true;             // false: an instance without a container registry
    std::string rate_limits = "self-managed";  // the throttles' preset (throttle.hpp)
};

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

// Offset paging past the instance's offset_pagination_limit (a sandbox setting, default 50,000; 0:
// none), as GitLab refuses it for lists it also pages by keyset
// (lib/api/helpers/pagination_strategies.rb: page * per_page over the limit): 405
// {"error":"Offset pagination has a maximum allowed offset of <limit> for requests that return objects
// of type <type>. Remaining records can be retrieved using keyset pagination."}.
void check_offset_limit(Context& ctx, std::string_view type);

class Sandbox {
public:
    explicit Sandbox(Config config);
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    // -- routes: `pattern` of literal, `:name` and a last `*name` segments, matched on the raw path
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

    // -- GitLab's throttles (application settings, counts)
    [[nodiscard]] Throttle& throttle() { return throttle_; }

    // -- settings changed by POST /-/sandbox/settings
    [[nodiscard]] Json settings() const;
    [[nodiscard]] std::chrono::milliseconds merge_check_delay() const;
    [[nodiscard]] std::int64_t offset_pagination_limit() const;
    void update_settings(const Json& changes);

    // -- state
    template <class F>
    auto read(F&& f) const {
        std::lock_guard lock(state_mutex_);
        return std::forward<F>(f)(static_cast<const State&>(state_));
    }
    template <class F>
    auto write(F&& f) {
        std::unique_lock lock(state_mutex_);
        if constexpr (std::is_void_v<decltype(f(state_))>) {
            std::forward<F>(f)(state_);
            lock.unlock();
            persist();
        } else {
            auto result = std::forward<F>(f)(state_);
            lock.unlock();
            persist();
            return result;
        }
    }

    // -- shared lookups (they lock the state themselves)
    std::optional<Caller> authenticate(std::string_view secret) const;
    // The project by numeric id or URL-encoded full path; a bulk-seeded project's bare repository
    // is made here on first use, so every route finds one.
    std::optional<ProjectRef> resolve_project(std::string_view id_or_path);
    // Records a new pipeline (status "pending", source "push") for a commit on a branch and
    // returns its record. Call it for every new commit on a branch, outside read()/write().
    Json add_pipeline(std::int64_t project_id, const std::string& ref, const std::string& sha,
                      std::optional<std::int64_t> user_id = std::nullopt);
    // A user's record as GitLab shows it (UserBasic fields); `detailed` adds the fields of
    // GET /user (email, created_at, is_admin ...). Call with the state locked (inside read/write).
    Json user_record(const State& state, std::int64_t user_id, bool detailed = false) const;

    // Creates a user with a personal access token; returns the user record plus "token".
    Json create_user(const std::string& username, const std::string& name, bool admin);
    // Writers of one repository hold its lock, so API commits, branch changes and merges are
    // serialized; ref updates are compare-and-swap on top (a push through git may race them).
    std::shared_ptr<std::mutex> repository_lock(const std::filesystem::path& repository);

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

    void make_pending_repository(const ProjectRef& project);  // repositories.cpp
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

    Throttle throttle_;

    mutable std::mutex journal_mutex_;
    std::deque<Json> journal_;
    std::int64_t next_seq_ = 1;

    std::mutex faults_mutex_;
    std::vector<std::shared_ptr<Fault>> faults_;
    std::int64_t next_fault_id_ = 1;

    std::mutex repository_locks_mutex_;
    std::map<std::filesystem::path, std::shared_ptr<std::mutex>> repository_locks_;

    std::atomic<bool> stopping_{false};
    mutable std::mutex stop_mutex_;
    mutable std::condition_variable stop_cv_;
};

}  // namespace zorv_sandbox
