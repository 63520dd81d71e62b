// The sandbox test kit: starting the program, reading its start-up lines, talking to it over HTTPS,
// and decoding its journal.
#include <zorv_git_gitlab/testing/sandbox.hpp>

#include <httplib.h>
#include <dlfcn.h>
#include <unistd.h>

#include <zorv_git/process.hpp>
#include <zorv_git_gitlab/credentials.hpp>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <random>
#include <regex>
#include <stdexcept>

namespace zorv_git_gitlab::testing {

namespace {

constexpr std::string_view kProgram = "zorv-gitlab-sandbox";
constexpr std::string_view kApi = "/api/v4/";

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string percent_decode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

// name -> value of a query string or form body; a name given more than once maps to an array.
Json decode_form(std::string_view text) {
    Json fields = Json::object();
    while (!text.empty()) {
        const auto amp = text.find('&');
        const auto pair = text.substr(0, amp);
        text = amp == std::string_view::npos ? std::string_view{} : text.substr(amp + 1);
        if (pair.empty()) continue;
        const auto eq = pair.find('=');
        const auto name = percent_decode(pair.substr(0, eq));
        const auto value = eq == std::string_view::npos ? std::string{} : percent_decode(pair.substr(eq + 1));
        if (!fields.contains(name)) {
            fields[name] = value;
        } else {
            if (!fields[name].is_array()) fields[name] = Json::array({fields[name]});
            fields[name].push_back(value);
        }
    }
    return fields;
}

bool executable(const std::filesystem::path& file) {
    std::error_code ec;
    return std::filesystem::is_regular_file(file, ec) && ::access(file.c_str(), X_OK) == 0;
}

// Where this library was loaded from: the installed program is at the same relative place from it as
// the installation's bindir is from its libdir.
std::filesystem::path installed_program() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<const void*>(&Sandbox::find_binary), &info) == 0 || info.dli_fname == nullptr) {
        return {};
    }
    std::error_code ec;
    const auto library = std::filesystem::canonical(info.dli_fname, ec);
    if (ec) return {};
    return library.parent_path() / ZORV_TESTING_LIBDIR_TO_BINDIR / kProgram;
}

std::string unique_name(std::string_view prefix) {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    constexpr std::string_view digits = "0123456789abcdef";
    std::string name(prefix);
    name += '-';
    for (int i = 0; i < 10; ++i) name += digits[random() % digits.size()];
    return name;
}

}  // namespace

std::string Reply::header(std::string_view name) const {
    const auto it = headers.find(lower(std::string(name)));
    return it == headers.end() ? std::string{} : it->second;
}

Request::Request(const Json& entry)
    : seq(entry.value("seq", std::int64_t{0})),
      method(entry.at("method").get<std::string>()),
      path(entry.at("path").get<std::string>()),
      raw_query(entry.value("query", std::string{})),
      query(decode_form(raw_query)),
      text(entry.value("body", std::string{})) {
    if (const auto it = entry.find("headers"); it != entry.end()) {
        for (const auto& [name, value] : it->items()) headers[lower(name)] = value.get<std::string>();
    }
    if (const auto it = entry.find("status"); it != entry.end() && it->is_number()) status = it->get<int>();
    if (text.empty()) return;
    const auto type = headers.find("content-type");
    if (type != headers.end() && type->second.find("application/x-www-form-urlencoded") != std::string::npos) {
        body = decode_form(text);
        return;
    }
    body = Json::parse(text, nullptr, false);
    if (body.is_discarded()) body = text;
}

std::string Request::api_path() const { return path.starts_with(kApi) ? path.substr(kApi.size()) : path; }

std::string Request::token() const {
    if (const auto it = headers.find("private-token"); it != headers.end()) return it->second;
    if (const auto it = headers.find("authorization"); it != headers.end() && lower(it->second).starts_with("bearer ")) {
        return it->second.substr(7);
    }
    return {};
}

std::string Request::str() const { return method + " " + path + (raw_query.empty() ? "" : "?" + raw_query); }

struct Sandbox::State {
    explicit State(const std::vector<std::string>& argv) : child(argv) {}
    zorv_git::process::Child child;
    bool stopped = false;
    std::mutex seeder_mutex;
    std::string seeder;  // the seeding administrator's token, made on first use
};

Sandbox& Sandbox::instance() {
    static Sandbox sandbox(Options{.binary = {}, .args = {}, .export_environment = true});  // started once, on first use
    return sandbox;
}

std::string Sandbox::find_binary() {
    if (const char* bin = std::getenv("ZORV_SANDBOX_BIN"); bin != nullptr && *bin != '\0') return bin;
    if (const auto installed = installed_program(); !installed.empty() && executable(installed)) return installed;
    const char* path = std::getenv("PATH");
    std::string_view dirs = path == nullptr ? "" : path;
    while (!dirs.empty()) {
        const auto colon = dirs.find(':');
        const auto dir = dirs.substr(0, colon);
        dirs = colon == std::string_view::npos ? std::string_view{} : dirs.substr(colon + 1);
        if (dir.empty()) continue;
        const auto candidate = std::filesystem::path(dir) / kProgram;
        if (executable(candidate)) return candidate;
    }
    throw std::runtime_error(std::string(kProgram) + " not found (installed next to this library, or on PATH); "
                             "set ZORV_SANDBOX_BIN to name it");
}

Sandbox::Sandbox(Options options) {
    std::vector<std::string> argv{options.binary.empty() ? find_binary() : options.binary, "--watch-stdin"};
    argv.insert(argv.end(), options.args.begin(), options.args.end());
    // --watch-stdin: the sandbox stops by itself if this process dies without stopping it.
    state_ = std::make_unique<State>(argv);
    std::string line;
    bool ready = false;
    while (state_->child.read_line(line)) {
        if (line == "SANDBOX_READY") {
            ready = true;
            break;
        }
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        if (key == "GITLAB_HOST") host_ = value;
        else if (key == "GITLAB_TOKEN") token_ = value;
        else if (key == "CURL_CA_BUNDLE") ca_file_ = value;
    }
    if (!ready || host_.empty() || token_.empty() || ca_file_.empty()) {
        const auto result = state_->child.wait();
        state_->stopped = true;
        throw std::runtime_error("the sandbox did not start: " + result.err);
    }
    if (options.export_environment) {
        for (const auto& [key, value] : environment()) ::setenv(key.c_str(), value.c_str(), 1);
    }
}

Sandbox::~Sandbox() { stop(); }

void Sandbox::stop() {
    if (!state_ || state_->stopped) return;
    state_->stopped = true;
    // Closing its input stops it (--watch-stdin); wait() reaps it after its clean shutdown.
    state_->child.close_stdin();
    state_->child.wait();
}

std::vector<std::pair<std::string, std::string>> Sandbox::environment() const {
    return {{"GITLAB_HOST", host_},         {"GITLAB_TOKEN", token_},       {token_variable(host_), token_},
            {"CURL_CA_BUNDLE", ca_file_}, {"GIT_SSL_CAINFO", ca_file_}};
}

Reply Sandbox::request(std::string_view method, const std::string& target, const Headers& headers,
                       const std::string& body, const std::string& content_type) const {
    const auto colon = host_.rfind(':');
    httplib::SSLClient client(host_.substr(0, colon), std::stoi(host_.substr(colon + 1)));
    client.set_ca_cert_path(ca_file_);
    client.enable_server_certificate_verification(true);
    client.set_url_encode(false);
    client.set_connection_timeout(10);
    client.set_read_timeout(120);

    httplib::Request req;
    req.method = std::string(method);
    req.path = target;
    for (const auto& [k, v] : headers) req.headers.emplace(k, v);
    if (!body.empty() || !content_type.empty()) {
        req.body = body;
        req.headers.emplace("Content-Type", content_type.empty() ? "application/octet-stream" : content_type);
    }
    httplib::Response res;
    httplib::Error error = httplib::Error::Success;
    if (!client.send(req, res, error)) {
        throw std::runtime_error(std::string(method) + " " + target + ": " + httplib::to_string(error));
    }
    Reply reply;
    reply.status = res.status;
    reply.body = res.body;
    for (const auto& [k, v] : res.headers) reply.headers.emplace(lower(k), v);
    if (!res.body.empty()) reply.json = Json::parse(res.body, nullptr, false);
    if (reply.json.is_discarded()) reply.json = nullptr;
    return reply;
}

Reply Sandbox::api(std::string_view method, std::string_view path, const Json& body,
                   std::optional<std::string> token) const {
    Headers headers;
    const std::string secret = token.value_or(token_);
    if (!secret.empty()) headers.emplace_back("PRIVATE-TOKEN", secret);
    const std::string target = std::string(kApi) + std::string(path);
    if (body.is_null()) return request(method, target, headers);
    return request(method, target, headers, body.dump(), "application/json");
}

Json Sandbox::control(std::string_view method, std::string_view path, const Json& body) const {
    const std::string target = "/-/sandbox/" + std::string(path);
    const auto reply = body.is_null() ? request(method, target) : request(method, target, {}, body.dump(), "application/json");
    if (reply.status >= 400) {
        throw std::runtime_error(std::string(method) + " " + target + " answered " + std::to_string(reply.status) +
                                 ": " + reply.body);
    }
    return reply.json;
}

Json Sandbox::journal() const { return control("GET", "journal"); }
void Sandbox::clear_journal() const { control("DELETE", "journal"); }
std::int64_t Sandbox::add_fault(const Json& rule) const { return control("POST", "faults", rule).at("id"); }
void Sandbox::clear_faults() const { control("DELETE", "faults"); }
void Sandbox::settings(const Json& changes) const { control("POST", "settings", changes); }

Json Sandbox::rate_limits(const Json& settings, const Json& options) const {
    Json state = control("POST", "rate-limits", options.is_null() ? Json::object() : options);
    if (settings.is_null() || settings.empty()) return state.at("settings");
    return seed("PUT", "application/settings", settings);
}

Json Sandbox::create_user(const std::string& username, const std::string& name, bool admin) const {
    return control("POST", "users", Json{{"username", username}, {"name", name.empty() ? username : name}, {"admin", admin}});
}

Json Sandbox::set_pipeline_status(std::int64_t project_id, std::int64_t pipeline_id, const std::string& status) const {
    return control("POST", "projects/" + std::to_string(project_id) + "/pipelines/" + std::to_string(pipeline_id),
                   Json{{"status", status}});
}

std::vector<Request> Sandbox::requests(std::string_view method, const std::string& path, bool clear) const {
    const auto entries = journal();
    if (clear) clear_journal();
    const std::regex pattern(path, std::regex::ECMAScript);
    std::string seeder_token;
    {
        // Only a seeder that exists has requests to leave out: none is made here.
        std::lock_guard lock(state_->seeder_mutex);
        seeder_token = state_->seeder;
    }
    std::vector<Request> found;
    for (const auto& entry : entries) {
        Request request(entry);
        if (!seeder_token.empty() && request.token() == seeder_token) continue;
        if (!method.empty() && request.method != method) continue;
        if (!path.empty() && !std::regex_search(request.path, pattern)) continue;
        found.push_back(std::move(request));
    }
    return found;
}

std::int64_t Sandbox::fail(std::string_view method, const std::string& path, int status, const Json& body,
                           int times) const {
    Json rule{{"method", method}, {"path", path}, {"status", status}, {"times", times}};
    if (!body.is_null()) rule["body"] = body;
    return add_fault(rule);
}

std::int64_t Sandbox::delay(std::string_view method, const std::string& path, int ms, int times) const {
    return add_fault(Json{{"method", method}, {"path", path}, {"action", "delay"}, {"delay_ms", ms}, {"times", times}});
}

std::int64_t Sandbox::drop(std::string_view method, const std::string& path, int times) const {
    return add_fault(Json{{"method", method}, {"path", path}, {"action", "drop"}, {"times", times}});
}

std::string Sandbox::seeder() const {
    std::lock_guard lock(state_->seeder_mutex);
    if (state_->seeder.empty()) state_->seeder = create_user(unique_name("seeder"), {}, true).at("token");
    return state_->seeder;
}

Json Sandbox::seed(std::string_view method, const std::string& path, const Json& body) const {
    const auto reply = api(method, path, body, seeder());
    if (reply.status < 200 || reply.status >= 300) {
        throw std::runtime_error(std::string(method) + " " + std::string(kApi) + path + " answered " +
                                 std::to_string(reply.status) + ": " + reply.body);
    }
    return reply.json;
}

Json Sandbox::group(const std::string& name, std::optional<std::int64_t> parent_id) const {
    const auto chosen = name.empty() ? unique_name("group") : name;
    Json body{{"name", chosen}, {"path", chosen}};
    if (parent_id) body["parent_id"] = *parent_id;
    return seed("POST", "groups", body);
}

Json Sandbox::project(std::int64_t group_id, const std::string& name,
                      const std::map<std::string, std::string>& files) const {
    auto record = seed("POST", "projects", Json{{"name", name.empty() ? unique_name("project") : name},
                                                 {"namespace_id", group_id}});
    if (!files.empty()) commit(record.at("id").get<std::int64_t>(), "master", files);
    return record;
}

std::vector<std::int64_t> Sandbox::projects(std::int64_t group_id, const std::vector<std::string>& names) const {
    return control("POST", "projects", Json{{"namespace_id", group_id}, {"names", names}})
        .at("ids")
        .get<std::vector<std::int64_t>>();
}

Json Sandbox::commit(std::int64_t project_id, const std::string& branch, const std::map<std::string, std::string>& files,
                     const std::string& start_branch, const std::string& action) const {
    std::string message = "change";
    Json actions = Json::array();
    for (const auto& [file, content] : files) {
        message += (actions.empty() ? " " : ", ") + file;
        actions.push_back(Json{{"action", action}, {"file_path", file}, {"content", content}});
    }
    Json body{{"branch", branch}, {"commit_message", message}, {"actions", actions}};
    if (!start_branch.empty()) body["start_branch"] = start_branch;
    return seed("POST", "projects/" + std::to_string(project_id) + "/repository/commits", body);
}

}  // namespace zorv_git_gitlab::testing
