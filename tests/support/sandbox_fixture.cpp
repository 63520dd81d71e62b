// Starting the sandbox binary, reading its start-up lines, and talking to it over HTTPS.
#include "sandbox_fixture.hpp"

#include <httplib.h>
#include <gtest/gtest.h>

#include <zorv_git/process.hpp>

#include <cstdlib>
#include <mutex>
#include <stdexcept>

namespace zorv_test {

namespace {

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Runs the binary's sandbox before the first test and stops it after the last.
class SandboxEnvironment : public ::testing::Environment {
public:
    void SetUp() override { Sandbox::instance(); }
    void TearDown() override { Sandbox::instance().stop(); }
};

// GoogleTest owns the environment; registering here ties it to every binary that uses sandbox().
[[maybe_unused]] const ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new SandboxEnvironment);

}  // namespace

std::string Reply::header(std::string_view name) const {
    const auto it = headers.find(lower(std::string(name)));
    return it == headers.end() ? std::string{} : it->second;
}

struct Sandbox::Process {
    zorv_git::process::Child child;
    bool stopped = false;
};

Sandbox& Sandbox::instance() {
    static Sandbox sandbox;  // started once, thread-safely, on first use
    return sandbox;
}

Sandbox::Sandbox() {
    const char* bin = std::getenv("ZORV_SANDBOX_BIN");
    if (bin == nullptr || *bin == '\0') throw std::runtime_error("ZORV_SANDBOX_BIN is not set");
    // --watch-stdin: the sandbox stops by itself if this process dies without stopping it.
    process_ = std::make_unique<Process>(Process{zorv_git::process::Child({bin, "--watch-stdin"})});
    std::string line;
    bool ready = false;
    while (process_->child.read_line(line)) {
        if (line == "SANDBOX_READY") {
            ready = true;
            break;
        }
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        const auto key = line.substr(0, eq);
        const auto value = line.substr(eq + 1);
        if (key == "GITLAB_HOST") host_ = value;
        else if (key == "GITLAB_TOKEN") token_ = value;
        else if (key == "CURL_CA_BUNDLE") ca_file_ = value;
        ::setenv(key.c_str(), value.c_str(), 1);
    }
    if (!ready || host_.empty() || token_.empty() || ca_file_.empty()) {
        const auto result = process_->child.wait();
        process_->stopped = true;
        throw std::runtime_error("the sandbox did not start: " + result.err);
    }
}

Sandbox::~Sandbox() { stop(); }

void Sandbox::stop() {
    if (!process_ || process_->stopped) return;
    process_->stopped = true;
    // Closing its input stops it (--watch-stdin); wait() reaps it after its clean shutdown.
    process_->child.close_stdin();
    process_->child.wait();
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
    const std::string target = "/api/v4/" + std::string(path);
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

Json Sandbox::create_user(const std::string& username, const std::string& name, bool admin) const {
    return control("POST", "users", Json{{"username", username}, {"name", name.empty() ? username : name}, {"admin", admin}});
}

Json Sandbox::set_pipeline_status(std::int64_t project_id, std::int64_t pipeline_id, const std::string& status) const {
    return control("POST", "projects/" + std::to_string(project_id) + "/pipelines/" + std::to_string(pipeline_id),
                   Json{{"status", status}});
}

}  // namespace zorv_test
