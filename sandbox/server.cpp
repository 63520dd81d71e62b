// The sandbox core: routing on the raw target, authentication, the journal, fault rules,
// settings and the saved state.
#include "server.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>

namespace zorv_sandbox {

namespace fs = std::filesystem;

struct Sandbox::Route {
    std::string method;
    std::vector<std::string> segments;  // literal, ":name" or (last) "*name"
    int literals = 0;
    Handler handler;
    Auth auth = Auth::token;
};

struct Sandbox::Fault {
    enum class Action { respond, drop, hang, truncate, huge, delay };
    std::int64_t id = 0;
    std::string method;  // empty: any
    std::regex path;
    std::int64_t times = 1;  // remaining; 0: forever
    int status = 0;           // 0: the action's default
    std::string body;
    std::string content_type;
    Json headers = Json::object();
    std::int64_t delay_ms = 0;
    std::int64_t size = 200LL * 1024 * 1024;
    bool size_given = false;
    Action action = Action::respond;
};

namespace {

constexpr std::size_t kJournalBodyLimit = 1024 * 1024;
constexpr std::size_t kJournalMaxEntries = 100000;  // the oldest entries go first beyond this
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

std::string upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
    return s;
}

std::string today_plus_days(int days) {
    const auto t = std::chrono::system_clock::now() + std::chrono::hours(24) * days;
    return iso_from(t).substr(0, 10);
}

// The connection's socket, for the fault actions that act below HTTP.
int socket_of(const httplib::Request& req) { return req.ssl != nullptr ? SSL_get_fd(req.ssl) : -1; }

void drop_connection(const httplib::Request& req, httplib::Response& res) {
    const int fd = socket_of(req);
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
    // httplib still tries to write an answer; it fails on the shut socket and the connection closes.
    res.status = 500;
    res.set_header("Connection", "close");
}

// The scopes that admit a request (lib/api/api.rb: `allow_access_with_scope :api` and `:read_api`
// for GET and HEAD; lib/api/users.rb adds `:read_user` for reading users) and GitLab's refusal when
// the token holds none of them (lib/api/api_guard.rb, Gitlab::Auth::InsufficientScopeError: 403 with
// Rack::OAuth2's insufficient_scope body, "scope" listing the scopes that would do).
void check_scopes(const Caller& caller, std::string_view method, std::string_view raw_path) {
    std::vector<std::string> allowed;
    const bool read = method == "GET";
    if (read && (raw_path == "/api/v4/user" || raw_path.starts_with("/api/v4/users"))) allowed.emplace_back("read_user");
    allowed.emplace_back("api");
    if (read) allowed.emplace_back("read_api");
    for (const auto& scope : caller.scopes) {
        if (std::find(allowed.begin(), allowed.end(), scope.get<std::string>()) != allowed.end()) return;
    }
    std::string needed;
    for (const auto& scope : allowed) needed += (needed.empty() ? "" : " ") + scope;
    throw ApiError(403, Json{{"error", "insufficient_scope"},
                             {"error_description", "The request requires higher privileges than provided by the access token."},
                             {"scope", needed}});
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Context

const std::string& Context::arg(std::string_view name) const {
    static const std::string empty;
    const auto it = args.find(name);
    return it == args.end() ? empty : it->second;
}

const Json& Context::params() {
    if (!params_) params_ = zorv_sandbox::params(req);
    return *params_;
}

ProjectRef Context::project(std::string_view arg_name) {
    auto p = sandbox.resolve_project(arg(arg_name));
    if (!p) throw ApiError::message(404, "404 Project Not Found");
    return std::move(*p);
}

void Context::require_admin() const {
    if (!caller || !caller->admin) throw ApiError::message(403, "403 Forbidden");
}

// ---------------------------------------------------------------------------------------------
// Construction, configuration, settings

Sandbox::Sandbox(Config config) : config_(std::move(config)) {
    if (config_.data_dir.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string templ = (tmp != nullptr && *tmp != '\0' ? std::string(tmp) : std::string("/tmp")) +
                            "/zorv-gitlab-sandbox-XXXXXX";
        if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("cannot create a temporary data directory");
        data_dir_ = templ;
        temporary_ = true;
    } else {
        data_dir_ = fs::absolute(config_.data_dir);
        fs::create_directories(data_dir_);
    }
    fs::create_directories(repositories_dir());
    settings_ = Json{{"merge_check_delay_ms", 1000}};
}

Sandbox::~Sandbox() {
    if (saver_.joinable()) {
        {
            std::lock_guard lock(save_mutex_);
            save_stop_ = true;
        }
        save_cv_.notify_one();
        saver_.join();
    }
    if (temporary_) {
        std::error_code ec;
        fs::remove_all(data_dir_, ec);
    }
}

std::string Sandbox::host() const { return "127.0.0.1:" + std::to_string(port()); }
std::string Sandbox::base_url() const { return "https://" + host(); }

fs::path Sandbox::repository_path(const Json& project_record) const {
    return repositories_dir() / (project_record.at("path_with_namespace").get<std::string>() + ".git");
}

Json Sandbox::settings() const {
    std::lock_guard lock(settings_mutex_);
    return settings_;
}

std::chrono::milliseconds Sandbox::merge_check_delay() const {
    std::lock_guard lock(settings_mutex_);
    return std::chrono::milliseconds(settings_.value("merge_check_delay_ms", std::int64_t{1000}));
}

void Sandbox::update_settings(const Json& changes) {
    if (!changes.is_object()) throw ApiError::message(400, "settings must be a JSON object");
    if (changes.contains("merge_check_delay_ms")) {
        const auto& v = changes["merge_check_delay_ms"];
        if (!v.is_number_integer() || v.get<std::int64_t>() < 0) {
            throw ApiError::message(400, "merge_check_delay_ms must be a non-negative integer");
        }
    }
    std::lock_guard lock(settings_mutex_);
    for (const auto& [k, v] : changes.items()) settings_[k] = v;
}

bool Sandbox::sleep_for(std::chrono::milliseconds d) const {
    std::unique_lock lock(stop_mutex_);
    return !stop_cv_.wait_for(lock, d, [this] { return stopping_.load(); });
}

void Sandbox::begin_stop() {
    {
        std::lock_guard lock(stop_mutex_);
        stopping_.store(true);
    }
    stop_cv_.notify_all();
}

// ---------------------------------------------------------------------------------------------
// Routing

void Sandbox::route(std::string method, std::string pattern, Handler handler, Auth auth) {
    auto r = std::make_unique<Route>();
    r->method = upper(std::move(method));
    r->segments = split_path(pattern);
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
    try {
        const std::string method = req.method == "HEAD" ? "GET" : req.method;
        const Route* r = match(method, split_path(raw_path), ctx.args);
        if (r == nullptr) {
            send_error(res, 404, "404 Not Found");
        } else {
            if (r->auth == Auth::token) {
                std::string secret = req.get_header_value("PRIVATE-TOKEN");
                if (secret.empty()) {
                    const auto bearer = req.get_header_value("Authorization");
                    if (bearer.size() > 7 && (bearer.starts_with("Bearer ") || bearer.starts_with("bearer "))) {
                        secret = bearer.substr(7);
                    }
                }
                if (secret.empty()) secret = param_string(ctx.params(), "private_token").value_or("");
                ctx.caller = secret.empty() ? std::nullopt : authenticate(secret);
                if (!ctx.caller) throw ApiError::message(401, "401 Unauthorized");
                check_scopes(*ctx.caller, method, raw_path);
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
    if (!control) journal_end(seq, res.status == -1 ? 200 : res.status);
}

// ---------------------------------------------------------------------------------------------
// Journal

std::int64_t Sandbox::journal_begin(const httplib::Request& req, const std::string& raw_path,
                                    const std::string& raw_query) {
    Json headers = Json::object();
    for (const auto& [name, value] : req.headers) {
        // httplib adds these itself; they were not sent by the client.
        if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT") continue;
        if (headers.contains(name)) {
            headers[name] = headers[name].get<std::string>() + ", " + value;
        } else {
            headers[name] = value;
        }
    }
    Json entry = Json::object();
    entry["method"] = req.method;
    entry["path"] = raw_path;
    entry["query"] = raw_query;
    entry["headers"] = std::move(headers);
    if (req.body.size() > kJournalBodyLimit) {
        entry["body"] = req.body.substr(0, kJournalBodyLimit);
        entry["body_truncated"] = true;
    } else {
        entry["body"] = req.body;
    }
    entry["status"] = nullptr;
    std::lock_guard lock(journal_mutex_);
    const auto seq = next_seq_++;
    if (journal_.size() >= kJournalMaxEntries) journal_.pop_front();
    Json full = Json::object();
    full["seq"] = seq;
    for (auto& [k, v] : entry.items()) full[k] = std::move(v);
    journal_.push_back(std::move(full));
    return seq;
}

void Sandbox::journal_end(std::int64_t seq, const Json& status) {
    std::lock_guard lock(journal_mutex_);
    const auto it = std::lower_bound(journal_.begin(), journal_.end(), seq,
                                     [](const Json& e, std::int64_t s) { return e["seq"].get<std::int64_t>() < s; });
    if (it != journal_.end() && (*it)["seq"].get<std::int64_t>() == seq) (*it)["status"] = status;
}

Json Sandbox::journal() const {
    std::lock_guard lock(journal_mutex_);
    Json out = Json::array();
    for (const auto& e : journal_) out.push_back(e);
    return out;
}

void Sandbox::clear_journal() {
    std::lock_guard lock(journal_mutex_);
    journal_.clear();
}

// ---------------------------------------------------------------------------------------------
// Fault rules

std::int64_t Sandbox::add_fault(const Json& rule) {
    if (!rule.is_object()) throw ApiError::message(400, "a fault rule is a JSON object");
    auto f = std::make_shared<Fault>();
    try {
        f->method = upper(rule.value("method", std::string{}));
        if (f->method == "*") f->method.clear();
        f->path = std::regex(rule.value("path", std::string{".*"}), std::regex::ECMAScript);
        f->times = rule.value("times", std::int64_t{1});
        f->status = rule.value("status", 0);
        f->delay_ms = rule.value("delay_ms", std::int64_t{0});
        f->size = rule.value("size", f->size);
        f->size_given = rule.contains("size");
        if (rule.contains("body")) {
            const auto& b = rule["body"];
            f->body = b.is_string() ? b.get<std::string>() : b.dump();
            if (!b.is_string()) f->content_type = "application/json";
        }
        f->content_type = rule.value("content_type", f->content_type);
        if (rule.contains("headers")) f->headers = rule["headers"];
        const auto action = rule.value("action", std::string{"respond"});
        if (action == "respond") f->action = Fault::Action::respond;
        else if (action == "drop") f->action = Fault::Action::drop;
        else if (action == "hang") f->action = Fault::Action::hang;
        else if (action == "truncate") f->action = Fault::Action::truncate;
        else if (action == "huge") f->action = Fault::Action::huge;
        else if (action == "delay") f->action = Fault::Action::delay;
        else throw ApiError::message(400, "unknown action: " + action);
    } catch (const std::regex_error& e) {
        throw ApiError::message(400, std::string("invalid path pattern: ") + e.what());
    } catch (const Json::exception& e) {
        throw ApiError::message(400, std::string("invalid fault rule: ") + e.what());
    }
    if (f->times < 0 || f->delay_ms < 0 || f->size < 0 || !f->headers.is_object()) {
        throw ApiError::message(400, "invalid fault rule");
    }
    if (f->content_type.empty()) {
        const bool json = Json::accept(f->body);
        f->content_type = json ? "application/json" : "text/plain";
    }
    std::lock_guard lock(faults_mutex_);
    f->id = next_fault_id_++;
    faults_.push_back(f);
    return f->id;
}

void Sandbox::clear_faults() {
    std::lock_guard lock(faults_mutex_);
    faults_.clear();
}

bool Sandbox::apply_fault(const httplib::Request& req, httplib::Response& res, const std::string& raw_path,
                          std::int64_t seq) {
    std::shared_ptr<Fault> f;
    {
        std::lock_guard lock(faults_mutex_);
        for (auto it = faults_.begin(); it != faults_.end(); ++it) {
            const auto& rule = **it;
            if (!rule.method.empty() && rule.method != req.method) continue;
            if (!std::regex_search(raw_path, rule.path)) continue;
            f = *it;
            if (f->times > 0 && --f->times == 0) faults_.erase(it);
            break;
        }
    }
    if (!f) return false;

    if (f->delay_ms > 0 && !sleep_for(std::chrono::milliseconds(f->delay_ms))) {
        drop_connection(req, res);
        journal_end(seq, nullptr);
        return true;
    }
    for (const auto& [k, v] : f->headers.items()) res.set_header(k, v.is_string() ? v.get<std::string>() : v.dump());

    switch (f->action) {
        case Fault::Action::delay:
            res.headers.clear();
            return false;
        case Fault::Action::respond:
            res.status = f->status != 0 ? f->status : 500;
            res.set_content(f->body, f->content_type);
            journal_end(seq, res.status);
            return true;
        case Fault::Action::drop:
            drop_connection(req, res);
            journal_end(seq, nullptr);
            return true;
        case Fault::Action::hang: {
            // No answer until the client closes the connection (or sends anything, such as a TLS
            // close alert), the sandbox stops, or ten minutes pass; then the connection is dropped.
            const int fd = socket_of(req);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(10);
            while (fd >= 0 && !stopping() && std::chrono::steady_clock::now() < deadline) {
                pollfd p{fd, static_cast<short>(POLLIN | POLLRDHUP), 0};
                if (::poll(&p, 1, 200) != 0) break;
            }
            drop_connection(req, res);
            journal_end(seq, nullptr);
            return true;
        }
        case Fault::Action::truncate: {
            res.status = f->status != 0 ? f->status : 200;
            // The announced length: the rule's size, else the body and 100 bytes more that never come.
            const auto declared = f->size_given ? std::max<std::size_t>(static_cast<std::size_t>(f->size), f->body.size() + 1)
                                                : f->body.size() + 100;
            auto body = std::make_shared<std::string>(f->body);
            res.set_content_provider(declared, f->content_type,
                                     [body](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                         if (offset == 0 && !body->empty()) return sink.write(body->data(), body->size());
                                         return false;  // ends the answer early: httplib closes the connection
                                     });
            journal_end(seq, res.status);
            return true;
        }
        case Fault::Action::huge: {
            res.status = f->status != 0 ? f->status : 200;
            const auto size = static_cast<std::size_t>(f->size);
            // A JSON string of exactly `size` bytes: '"', then 'x' characters, then '"'.
            auto chunk = std::make_shared<std::string>(64 * 1024, 'x');
            res.set_content_provider(size, "application/json",
                                     [this, chunk, size](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                         if (stopping()) return false;
                                         std::string piece = chunk->substr(0, std::min(length, chunk->size()));
                                         if (offset == 0) piece[0] = '"';
                                         if (offset + piece.size() >= size) piece.back() = '"';
                                         return sink.write(piece.data(), piece.size());
                                     });
            journal_end(seq, res.status);
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// Authentication and lookups

std::optional<Caller> Sandbox::authenticate(std::string_view secret) const {
    std::lock_guard lock(state_mutex_);
    const auto it = state_.token_ids.find(std::string(secret));
    if (it == state_.token_ids.end()) return std::nullopt;
    const auto& token = state_.tokens.at(it->second);
    if (token.record.value("revoked", false)) return std::nullopt;
    const auto& expires = token.record["expires_at"];
    // A token expires at the start of its expiry date (UTC).
    if (expires.is_string() && expires.get<std::string>() <= today_plus_days(0)) return std::nullopt;
    const auto user_id = token.record["user_id"].get<std::int64_t>();
    const auto user = state_.users.find(user_id);
    if (user == state_.users.end() || user->second.record.value("state", std::string{"active"}) != "active") {
        return std::nullopt;
    }
    Caller c;
    c.user_id = user_id;
    c.token_id = it->second;
    c.admin = user->second.admin;
    c.group_id = token.group_id;
    c.scopes = token.record["scopes"];
    return c;
}

std::optional<ProjectRef> Sandbox::resolve_project(std::string_view id_or_path) const {
    if (id_or_path.empty()) return std::nullopt;
    std::lock_guard lock(state_mutex_);
    const bool numeric = std::all_of(id_or_path.begin(), id_or_path.end(), [](char c) { return c >= '0' && c <= '9'; });
    const ProjectEntry* found = nullptr;
    if (numeric && id_or_path.size() < 19) {
        const auto it = state_.projects.find(std::stoll(std::string(id_or_path)));
        if (it != state_.projects.end()) found = &it->second;
    } else {
        std::string wanted(id_or_path);
        std::transform(wanted.begin(), wanted.end(), wanted.begin(), [](unsigned char c) { return std::tolower(c); });
        for (const auto& [id, p] : state_.projects) {
            std::string full = p.record["path_with_namespace"].get<std::string>();
            std::transform(full.begin(), full.end(), full.begin(), [](unsigned char c) { return std::tolower(c); });
            if (full == wanted) {
                found = &p;
                break;
            }
        }
    }
    if (found == nullptr) return std::nullopt;
    return ProjectRef{found->record["id"].get<std::int64_t>(), found->record, repository_path(found->record)};
}

Json Sandbox::user_record(const State& state, std::int64_t user_id, bool detailed) const {
    const auto it = state.users.find(user_id);
    if (it == state.users.end()) return nullptr;
    const Json& r = it->second.record;
    Json out = Json::object();
    for (const char* key : {"id", "username", "public_email", "name", "state", "locked", "avatar_url", "web_url"}) {
        out[key] = r.contains(key) ? r[key] : Json(nullptr);
    }
    if (detailed) {
        for (const auto& [k, v] : r.items()) {
            if (!out.contains(k)) out[k] = v;
        }
        out["is_admin"] = it->second.admin;
    }
    return out;
}

Json Sandbox::create_user(const std::string& username, const std::string& name, bool admin) {
    if (username.empty()) throw ApiError::error(400, "username is missing");
    const auto base = base_url();
    return write([&](State& s) {
        for (const auto& [id, u] : s.users) {
            std::string a = u.record["username"].get<std::string>(), b = username;
            std::transform(a.begin(), a.end(), a.begin(), [](unsigned char c) { return std::tolower(c); });
            std::transform(b.begin(), b.end(), b.begin(), [](unsigned char c) { return std::tolower(c); });
            if (a == b) throw ApiError::message(409, "Username has already been taken");
        }
        const auto now = now_iso();
        UserEntry u;
        const auto id = s.next_user_id++;
        u.admin = admin;
        u.namespace_id = s.next_namespace_id++;
        u.record = Json{{"id", id},
                        {"username", username},
                        {"public_email", nullptr},
                        {"name", name.empty() ? username : name},
                        {"state", "active"},
                        {"locked", false},
                        {"avatar_url", nullptr},
                        {"web_url", base + "/" + username},
                        {"created_at", now},
                        {"bio", ""},
                        {"location", ""},
                        {"skype", ""},
                        {"linkedin", ""},
                        {"twitter", ""},
                        {"website_url", ""},
                        {"organization", ""},
                        {"job_title", ""},
                        {"bot", false},
                        {"last_sign_in_at", nullptr},
                        {"confirmed_at", now},
                        {"last_activity_on", nullptr},
                        {"email", username + "@sandbox.invalid"},
                        {"projects_limit", 100000},
                        {"current_sign_in_at", nullptr},
                        {"identities", Json::array()},
                        {"can_create_group", true},
                        {"can_create_project", true},
                        {"two_factor_enabled", false},
                        {"external", false},
                        {"private_profile", false}};
        s.users[id] = u;

        TokenEntry t;
        const auto token_id = s.next_token_id++;
        t.secret = "glpat-" + random_hex(10);
        t.record = Json{{"id", token_id},
                        {"name", "sandbox"},
                        {"revoked", false},
                        {"created_at", now},
                        {"description", nullptr},
                        {"scopes", Json::array({"api", "read_user", "read_api", "read_repository", "write_repository"})},
                        {"user_id", id},
                        {"last_used_at", nullptr},
                        {"active", true},
                        {"expires_at", today_plus_days(365)}};
        s.token_ids[t.secret] = token_id;
        auto out = user_record(s, id, true);
        out["token"] = t.secret;
        s.tokens[token_id] = std::move(t);
        return out;
    });
}

Json Sandbox::add_pipeline(std::int64_t project_id, const std::string& ref, const std::string& sha,
                           std::optional<std::int64_t> user_id) {
    const auto base = base_url();
    return write([&](State& s) {
        auto project = s.projects.find(project_id);
        if (project == s.projects.end()) throw ApiError::message(404, "404 Project Not Found");
        std::string before_sha(40, '0');
        for (auto it = s.pipelines.rbegin(); it != s.pipelines.rend(); ++it) {
            const auto& p = it->second;
            if (p["project_id"] == project_id && p["ref"] == ref) {
                before_sha = p["sha"].get<std::string>();
                break;
            }
        }
        const auto id = s.next_pipeline_id++;
        const auto iid = project->second.next_pipeline_iid++;
        const auto now = now_iso();
        const auto uid = user_id.value_or(project->second.record.value("creator_id", std::int64_t{1}));
        Json user = user_record(s, uid);
        Json p = Json{{"id", id},
                      {"iid", iid},
                      {"project_id", project_id},
                      {"sha", sha},
                      {"ref", ref},
                      {"status", "pending"},
                      {"source", "push"},
                      {"created_at", now},
                      {"updated_at", now},
                      {"web_url", base + "/" + project->second.record["path_with_namespace"].get<std::string>() +
                                      "/-/pipelines/" + std::to_string(id)},
                      {"before_sha", before_sha},
                      {"tag", false},
                      {"yaml_errors", nullptr},
                      {"user", user},
                      {"started_at", nullptr},
                      {"finished_at", nullptr},
                      {"committed_at", nullptr},
                      {"duration", nullptr},
                      {"queued_duration", nullptr},
                      {"coverage", nullptr},
                      {"detailed_status", nullptr},
                      {"name", nullptr}};
        s.pipelines[id] = p;
        return p;
    });
}

// ---------------------------------------------------------------------------------------------
// Saved state

Json Sandbox::state_to_json(const State& s) const {
    Json j = Json::object();
    j["base_url"] = base_url();
    j["admin_token"] = admin_token_;
    j["counters"] = Json{{"user", s.next_user_id},         {"token", s.next_token_id},
                         {"namespace", s.next_namespace_id}, {"project", s.next_project_id},
                         {"pipeline", s.next_pipeline_id}, {"issue", s.next_issue_id},
                         {"note", s.next_note_id},         {"merge_request", s.next_merge_request_id}};
    j["users"] = Json::array();
    for (const auto& [id, u] : s.users) {
        j["users"].push_back(Json{{"record", u.record}, {"admin", u.admin}, {"namespace_id", u.namespace_id}});
    }
    j["tokens"] = Json::array();
    for (const auto& [id, t] : s.tokens) {
        j["tokens"].push_back(Json{{"record", t.record},
                                   {"secret", t.secret},
                                   {"group_id", t.group_id ? Json(*t.group_id) : Json(nullptr)}});
    }
    j["groups"] = Json::array();
    for (const auto& [id, g] : s.groups) j["groups"].push_back(g);
    j["projects"] = Json::array();
    for (const auto& [id, p] : s.projects) {
        j["projects"].push_back(Json{{"record", p.record},
                                     {"next_issue_iid", p.next_issue_iid},
                                     {"next_pipeline_iid", p.next_pipeline_iid},
                                     {"next_merge_request_iid", p.next_merge_request_iid}});
    }
    auto variables = [](const std::map<std::int64_t, std::map<std::string, Json>>& m) {
        Json out = Json::object();
        for (const auto& [owner, vars] : m) {
            Json list = Json::array();
            for (const auto& [k, v] : vars) list.push_back(v);
            out[std::to_string(owner)] = std::move(list);
        }
        return out;
    };
    j["project_variables"] = variables(s.project_variables);
    j["group_variables"] = variables(s.group_variables);
    auto records = [](const std::map<std::int64_t, Json>& m) {
        Json out = Json::array();
        for (const auto& [id, r] : m) out.push_back(r);
        return out;
    };
    j["pipelines"] = records(s.pipelines);
    j["issues"] = records(s.issues);
    j["notes"] = records(s.notes);
    j["merge_requests"] = records(s.merge_requests);
    Json members = Json::object();
    for (const auto& [gid, users] : s.group_members) {
        for (const auto& [uid, level] : users) members[std::to_string(gid)][std::to_string(uid)] = level;
    }
    j["group_members"] = std::move(members);
    return j;
}

void Sandbox::state_from_json(const Json& j) {
    State s;
    const auto& c = j.at("counters");
    s.next_user_id = c.at("user");
    s.next_token_id = c.at("token");
    s.next_namespace_id = c.at("namespace");
    s.next_project_id = c.at("project");
    s.next_pipeline_id = c.at("pipeline");
    s.next_issue_id = c.at("issue");
    s.next_note_id = c.at("note");
    s.next_merge_request_id = c.at("merge_request");
    for (const auto& u : j.at("users")) {
        UserEntry e{u.at("record"), u.at("admin").get<bool>(), u.at("namespace_id").get<std::int64_t>()};
        s.users[e.record.at("id").get<std::int64_t>()] = std::move(e);
    }
    for (const auto& t : j.at("tokens")) {
        TokenEntry e;
        e.record = t.at("record");
        e.secret = t.at("secret").get<std::string>();
        if (t.at("group_id").is_number_integer()) e.group_id = t.at("group_id").get<std::int64_t>();
        const auto id = e.record.at("id").get<std::int64_t>();
        s.token_ids[e.secret] = id;
        s.tokens[id] = std::move(e);
    }
    for (const auto& g : j.at("groups")) s.groups[g.at("id").get<std::int64_t>()] = g;
    for (const auto& p : j.at("projects")) {
        ProjectEntry e{p.at("record"), p.at("next_issue_iid"), p.at("next_pipeline_iid"), p.at("next_merge_request_iid")};
        s.projects[e.record.at("id").get<std::int64_t>()] = std::move(e);
    }
    auto variables = [](const Json& in, std::map<std::int64_t, std::map<std::string, Json>>& m) {
        for (const auto& [owner, list] : in.items()) {
            for (const auto& v : list) {
                m[std::stoll(owner)][v.at("key").get<std::string>() + '\n' + v.value("environment_scope", "*")] = v;
            }
        }
    };
    variables(j.at("project_variables"), s.project_variables);
    variables(j.at("group_variables"), s.group_variables);
    auto records = [](const Json& in, std::map<std::int64_t, Json>& m) {
        for (const auto& r : in) m[r.at("id").get<std::int64_t>()] = r;
    };
    records(j.at("pipelines"), s.pipelines);
    records(j.at("issues"), s.issues);
    records(j.at("notes"), s.notes);
    records(j.value("merge_requests", Json::array()), s.merge_requests);
    const Json members = j.value("group_members", Json::object());
    for (const auto& [gid, users] : members.items()) {
        for (const auto& [uid, level] : users.items()) s.group_members[std::stoll(gid)][std::stoll(uid)] = level.get<int>();
    }
    state_ = std::move(s);
}

void Sandbox::persist() {
    if (temporary_) return;
    {
        std::lock_guard lock(save_mutex_);
        save_pending_ = true;
    }
    save_cv_.notify_one();
}

// Saves the state shortly after changes, gathering those of 0.2 s into one write, so that a burst
// of requests costs a few saves instead of one each; saves what is pending once more on stop.
void Sandbox::save_loop() {
    std::unique_lock lock(save_mutex_);
    while (true) {
        save_cv_.wait(lock, [this] { return save_pending_ || save_stop_; });
        if (!save_pending_) return;
        save_cv_.wait_for(lock, std::chrono::milliseconds(200), [this] { return save_stop_; });
        save_pending_ = false;
        lock.unlock();
        try {
            save_now();
        } catch (const std::exception& e) {
            std::cerr << "zorv-gitlab-sandbox: saving the state failed: " << e.what() << std::endl;
        }
        lock.lock();
    }
}

void Sandbox::save_now() {
    State copy;
    {
        std::lock_guard lock(state_mutex_);
        copy = state_;
    }
    const std::string text = state_to_json(copy).dump(1, ' ', false, Json::error_handler_t::replace);
    const auto file = data_dir_ / "state.json";
    const auto tmp = data_dir_ / "state.json.tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out) throw std::runtime_error("cannot write " + tmp.string());
    }
    fs::rename(tmp, file);
}

void Sandbox::load_state() {
    const auto file = data_dir_ / "state.json";
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string content = text.str();
    // Addresses saved under an earlier port are rewritten to the current one.
    const auto head = Json::parse(content);
    const auto old_base = head.value("base_url", std::string{});
    const auto new_base = base_url();
    if (!old_base.empty() && old_base != new_base) {
        std::string replaced;
        std::size_t pos = 0;
        while (true) {
            const auto at = content.find(old_base, pos);
            replaced.append(content, pos, at == std::string::npos ? std::string::npos : at - pos);
            if (at == std::string::npos) break;
            replaced += new_base;
            pos = at + old_base.size();
        }
        content = std::move(replaced);
    }
    const auto j = Json::parse(content);
    std::lock_guard lock(state_mutex_);
    state_from_json(j);
    if (admin_token_.empty()) admin_token_ = j.value("admin_token", std::string{});
}

void Sandbox::start() {
    admin_token_ = config_.admin_token;
    const bool saved = !temporary_ && fs::exists(data_dir_ / "state.json");
    if (saved) load_state();
    if (admin_token_.empty()) admin_token_ = "glpat-" + random_hex(10);

    const bool have_root = read([](const State& s) { return s.users.contains(1); });
    if (!have_root) create_user("root", "Administrator", true);
    const auto token = admin_token_;
    write([&](State& s) {
        if (s.token_ids.contains(token)) return;
        TokenEntry t;
        const auto id = s.next_token_id++;
        t.secret = token;
        t.record = Json{{"id", id},
                        {"name", "sandbox-admin"},
                        {"revoked", false},
                        {"created_at", now_iso()},
                        {"description", nullptr},
                        {"scopes", Json::array({"api", "read_user", "read_api", "read_repository", "write_repository",
                                                "sudo", "admin_mode"})},
                        {"user_id", 1},
                        {"last_used_at", nullptr},
                        {"active", true},
                        {"expires_at", nullptr}};
        s.token_ids[t.secret] = id;
        s.tokens[id] = std::move(t);
    });
    if (!temporary_) saver_ = std::thread([this] { save_loop(); });
}

}  // namespace zorv_sandbox
