// The sandbox core: construction, settings, lifetime, and the request context routes use.
// Its other rooms: router.cpp, journal.cpp, faults.cpp, auth.cpp, factories.cpp, records.cpp,
// persistence.cpp.
#include "server.hpp"

#include <algorithm>
#include <cstdlib>

namespace zorv_sandbox {

namespace fs = std::filesystem;

namespace {

// Plan limits' default offset_pagination_limit (db/structure.sql, plan_limits).
constexpr std::int64_t kOffsetPaginationLimit = 50000;

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

void check_offset_limit(Context& ctx, std::string_view type) {
    const auto limit = ctx.sandbox.offset_pagination_limit();
    if (limit <= 0) return;
    const Json& p = ctx.params();
    const Page page = page_of(p);
    // GitLab multiplies the parameters as given: a per_page above 100 counts in full.
    const auto per_page = std::max(page.per_page, param_int(p, "per_page").value_or(0));
    if (page.page * per_page <= limit) return;
    throw ApiError::error(405, "Offset pagination has a maximum allowed offset of " + std::to_string(limit) +
                                   " for requests that return objects of type " + std::string(type) +
                                   ". Remaining records can be retrieved using keyset pagination.");
}


// ---------------------------------------------------------------------------------------------
// Construction, configuration, settings

Sandbox::Sandbox(Config config) : config_(std::move(config)), throttle_(config_.rate_limits) {
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
    settings_ = Json{{"merge_check_delay_ms", 1000}, {"offset_pagination_limit", kOffsetPaginationLimit}};
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

std::int64_t Sandbox::offset_pagination_limit() const {
    std::lock_guard lock(settings_mutex_);
    return settings_.value("offset_pagination_limit", kOffsetPaginationLimit);
}

void Sandbox::update_settings(const Json& changes) {
    if (!changes.is_object()) throw ApiError::message(400, "settings must be a JSON object");
    for (const char* key : {"merge_check_delay_ms", "offset_pagination_limit"}) {
        if (!changes.contains(key)) continue;
        const auto& v = changes[key];
        if (!v.is_number_integer() || v.get<std::int64_t>() < 0) {
            throw ApiError::message(400, std::string(key) + " must be a non-negative integer");
        }
    }
    std::lock_guard lock(settings_mutex_);
    for (const auto& [k, v] : changes.items()) settings_[k] = v;
}

bool Sandbox::sleep_for(std::chrono::milliseconds d) const {
    std::unique_lock lock(stop_mutex_);
    return !stop_cv_.wait_for(lock, d, [this] { return stopping_.load(); });
}

std::shared_ptr<std::mutex> Sandbox::repository_lock(const fs::path& repository) {
    std::lock_guard lock(repository_locks_mutex_);
    auto& slot = repository_locks_[repository];
    if (!slot) slot = std::make_shared<std::mutex>();
    return slot;
}

void Sandbox::begin_stop() {
    {
        std::lock_guard lock(stop_mutex_);
        stopping_.store(true);
    }
    stop_cv_.notify_all();
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
        mint_token(s, {.name = "sandbox-admin",
                       .scopes = Json::array({"api", "read_user", "read_api", "read_repository", "write_repository",
                                              "sudo", "admin_mode"}),
                       .user_id = 1,
                       .secret = token});
    });
    if (!temporary_) saver_ = std::thread([this] { save_loop(); });
}

}  // namespace zorv_sandbox
