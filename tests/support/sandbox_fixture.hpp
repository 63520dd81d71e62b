// The sandbox server for C++ tests: started once per test binary (on first use, or by the
// GoogleTest global environment that comes with it), stopped at the end.
//
//   auto& sb = zorv_test::sandbox();           // starts it; GITLAB_HOST, GITLAB_TOKEN,
//                                              // CURL_CA_BUNDLE, GIT_SSL_CAINFO are now exported
//   auto group = sb.api("POST", "groups", {{"name", "g"}, {"path", "g"}});
//   ASSERT_EQ(group.status, 201);
//   sb.clear_journal();
//   sb.add_fault({{"method", "GET"}, {"path", "^/api/v4/projects$"}, {"status", 503}});
//   auto calls = sb.journal();                 // JSON array of the requests received
//
// A binary that uses sandbox() gets the environment registered automatically, so the sandbox is
// up (and the variables exported) before the first test runs.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zorv_test {

using Json = nlohmann::ordered_json;

// One answer of the sandbox.
struct Reply {
    int status = 0;
    std::string body;
    Json json;                                       // the decoded body; null when it is not JSON
    std::multimap<std::string, std::string> headers;  // names in lower case
    [[nodiscard]] std::string header(std::string_view name) const;  // "" when absent
};

using Headers = std::vector<std::pair<std::string, std::string>>;

class Sandbox {
public:
    // The binary's sandbox, started on first use (binary from ZORV_SANDBOX_BIN).
    static Sandbox& instance();

    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;
    ~Sandbox();

    [[nodiscard]] const std::string& host() const { return host_; }    // "127.0.0.1:<port>"
    [[nodiscard]] const std::string& token() const { return token_; }  // the administrator's
    [[nodiscard]] const std::string& ca_file() const { return ca_file_; }
    [[nodiscard]] std::string api_url() const { return "https://" + host_ + "/api/v4/"; }

    // A call below /api/v4/ (`path` may carry a query string) with a JSON body unless `body` is
    // null, as the administrator unless another token is given ("" sends none).
    Reply api(std::string_view method, std::string_view path, const Json& body = nullptr,
              std::optional<std::string> token = std::nullopt) const;
    // Any request: `target` is sent exactly as given (path and query, percent-encoded by the caller).
    Reply request(std::string_view method, const std::string& target, const Headers& headers = {},
                  const std::string& body = {}, const std::string& content_type = {}) const;

    // Control routes below /-/sandbox/; throws std::runtime_error for an answer of 400 or more.
    Json control(std::string_view method, std::string_view path, const Json& body = nullptr) const;
    [[nodiscard]] Json journal() const;
    void clear_journal() const;
    std::int64_t add_fault(const Json& rule) const;
    void clear_faults() const;
    // A user with a personal access token: the user record plus "token".
    Json create_user(const std::string& username, const std::string& name = {}, bool admin = false) const;
    void settings(const Json& changes) const;
    // Sets a pipeline's status ("running", "success", ...).
    Json set_pipeline_status(std::int64_t project_id, std::int64_t pipeline_id, const std::string& status) const;

    // Stops the server (also done at exit); later calls fail.
    void stop();

private:
    Sandbox();
    struct Process;
    std::unique_ptr<Process> process_;
    std::string host_, token_, ca_file_;
};

inline Sandbox& sandbox() { return Sandbox::instance(); }

}  // namespace zorv_test
