// The sandbox server as a test kit for C++ (GoogleTest): a local GitLab stand-in started once per test
// binary, its journal of requests decoded for assertions, fault rules for the next requests, seeding.
//
//   #include <zorv_git_gitlab/testing/sandbox.hpp>     // link zorv_git_gitlab::testing
//   namespace zt = zorv_git_gitlab::testing;
//
//   TEST(Release, CreatesTheProject) {
//       auto& sb = zt::sandbox();                  // started before the first test; GITLAB_HOST,
//                                                  // GITLAB_TOKEN, CURL_CA_BUNDLE, ... exported
//       const auto group = sb.group();             // a fresh group
//       sb.clear_journal();
//       sb.fail("GET", "/projects$", 503);         // the next matching request is answered 503
//       ... run the code under test ...
//       const auto sent = sb.requests("POST");     // what it sent: method, path, decoded query and body
//       ASSERT_EQ(sent.size(), 1U);
//       EXPECT_EQ(sent[0].api_path(), "projects");
//       EXPECT_EQ(sent[0].body.at("name"), "app");
//   }
//
// The program is $ZORV_SANDBOX_BIN when set, else the zorv-gitlab-sandbox installed with this library,
// else the first on PATH. When <gtest/gtest.h> is available, including this header registers a
// GoogleTest global environment that starts the sandbox before the first test and stops it after the
// last (define ZORV_TESTING_NO_GTEST to leave it out). Spell GoogleTest's namespace `::testing` where
// this one is visible unqualified.
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

#include "zorv_git_gitlab/testing/export.hpp"

namespace zorv_git_gitlab::testing {

using Json = nlohmann::ordered_json;
using Headers = std::vector<std::pair<std::string, std::string>>;

// One answer of the sandbox.
struct ZORV_GIT_GITLAB_TESTING_API Reply {
    int status = 0;
    std::string body;
    Json json;                                       // the decoded body; null when it is not JSON
    std::multimap<std::string, std::string> headers;  // names in lower case
    [[nodiscard]] std::string header(std::string_view name) const;  // "" when absent
};

// One request the sandbox received (a journal entry), decoded for assertions.
struct ZORV_GIT_GITLAB_TESTING_API Request {
    std::int64_t seq = 0;
    std::string method;
    std::string path;       // raw, as sent: /api/v4/projects/7/repository/branches/feature%2Fx
    std::string raw_query;  // as sent, without '?'
    Json query;             // decoded: an object name -> text (an array when a name repeats)
    Json body;              // decoded: the JSON value, form fields as an object, else the text; null when empty
    std::string text;       // the body as sent
    std::map<std::string, std::string> headers;  // names in lower case
    std::optional<int> status;                  // as answered; empty for a dropped connection

    explicit Request(const Json& entry);
    [[nodiscard]] std::string api_path() const;  // the path below /api/v4/
    [[nodiscard]] std::string token() const;     // PRIVATE-TOKEN or bearer token; "" when none
    [[nodiscard]] std::string str() const;       // "POST /api/v4/projects" (with "?query" when any)
};

class ZORV_GIT_GITLAB_TESTING_API Sandbox {
public:
    struct Options {
        std::string binary;             // empty: find_binary()
        std::vector<std::string> args;  // more options for the program (--data-dir DIR, --no-registry, ...)
        bool export_environment = false;  // setenv() the variables of environment() in this process
    };

    // The test binary's sandbox, started on first use, with its variables (environment()) exported.
    static Sandbox& instance();
    // The program to run: $ZORV_SANDBOX_BIN, else the installed one, else the first on PATH.
    static std::string find_binary();

    // Starts a sandbox of its own and waits until it is ready; stopped by stop() or the destructor.
    explicit Sandbox(Options options);
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;
    ~Sandbox();

    [[nodiscard]] const std::string& host() const { return host_; }    // "127.0.0.1:<port>"
    [[nodiscard]] const std::string& token() const { return token_; }  // the administrator's
    [[nodiscard]] const std::string& ca_file() const { return ca_file_; }
    [[nodiscard]] std::string api_url() const { return "https://" + host_ + "/api/v4/"; }
    // GITLAB_HOST, GITLAB_TOKEN, the token's variable for this host (token_variable(host()), which the
    // credential helper of a clone of this sandbox reads), CURL_CA_BUNDLE, GIT_SSL_CAINFO with their
    // values, for a child's environment; what export_environment sets.
    [[nodiscard]] std::vector<std::pair<std::string, std::string>> environment() const;

    // A call below /api/v4/ (`path` may carry a query string) with a JSON body unless `body` is
    // null, as the administrator unless another token is given ("" sends none).
    Reply api(std::string_view method, std::string_view path, const Json& body = nullptr,
              std::optional<std::string> token = std::nullopt) const;
    // Any request: `target` is sent exactly as given (path and query, percent-encoded by the caller).
    Reply request(std::string_view method, const std::string& target, const Headers& headers = {},
                  const std::string& body = {}, const std::string& content_type = {}) const;

    // Control routes below /-/sandbox/; throws std::runtime_error for an answer of 400 or more.
    Json control(std::string_view method, std::string_view path, const Json& body = nullptr) const;
    [[nodiscard]] Json journal() const;  // the raw journal entries
    void clear_journal() const;
    std::int64_t add_fault(const Json& rule) const;  // a rule as docs/sandbox.md describes; its id
    void clear_faults() const;
    // A user with a personal access token: the user record plus "token".
    Json create_user(const std::string& username, const std::string& name = {}, bool admin = false) const;
    void settings(const Json& changes) const;
    // GitLab's throttles: `options` for the control route ({"preset": "self-managed" | "gitlab.com",
    // "reset": true, "headers": bool, "now": Unix seconds | null}, applied in that order), then
    // `settings` by GitLab's names (PUT /application/settings, by the seeding administrator) when not
    // empty. The counts restart. The application settings as they then are.
    Json rate_limits(const Json& settings = Json::object(), const Json& options = Json::object()) const;
    // Sets a pipeline's status ("running", "success", ...).
    Json set_pipeline_status(std::int64_t project_id, std::int64_t pipeline_id, const std::string& status) const;

    // The requests received since the journal was last cleared, oldest first, without the kit's own
    // seeding calls; only those of `method` ("" any) whose raw path contains a match of the regex
    // `path` ("" any). `clear` empties the journal afterwards.
    [[nodiscard]] std::vector<Request> requests(std::string_view method = {}, const std::string& path = {},
                                                bool clear = false) const;

    // Faults for the next `times` requests of `method` ("*" any) whose raw path matches the regex
    // `path` (times 0: until clear_faults()); each returns the rule's id.
    std::int64_t fail(std::string_view method, const std::string& path, int status = 500, const Json& body = nullptr,
                      int times = 1) const;  // answered `status` (with `body`) without reaching the route
    std::int64_t delay(std::string_view method, const std::string& path, int ms, int times = 1) const;
    std::int64_t drop(std::string_view method, const std::string& path, int times = 1) const;  // connection closed

    // Seeding, by a second administrator whose requests requests() leaves out. Each returns the record.
    Json group(const std::string& name = {}, std::optional<std::int64_t> parent_id = std::nullopt) const;
    // A project in the group; with `files` (path -> text) a first commit on master holding them.
    Json project(std::int64_t group_id, const std::string& name = {},
                 const std::map<std::string, std::string>& files = {}) const;
    // Many projects in the group at once, each made and checked as POST /projects makes it (a control
    // route, so in no journal); their bare repositories are made on first use. Their ids, in order.
    std::vector<std::int64_t> projects(std::int64_t group_id, const std::vector<std::string>& names) const;
    // A commit on `branch` with `files`, each given `action` ("create", or "update" for existing files).
    Json commit(std::int64_t project_id, const std::string& branch, const std::map<std::string, std::string>& files,
                const std::string& start_branch = {}, const std::string& action = "create") const;

    // Stops the server (also done by the destructor); later calls fail.
    void stop();

private:
    [[nodiscard]] std::string seeder() const;
    Json seed(std::string_view method, const std::string& path, const Json& body) const;

    struct State;
    std::unique_ptr<State> state_;
    std::string host_, token_, ca_file_;
};

inline Sandbox& sandbox() { return Sandbox::instance(); }

}  // namespace zorv_git_gitlab::testing

#if !defined(ZORV_TESTING_NO_GTEST) && __has_include(<gtest/gtest.h>)
#include <gtest/gtest.h>

namespace zorv_git_gitlab::testing::detail {

// Starts the binary's sandbox before the first test and stops it after the last.
class SandboxEnvironment final : public ::testing::Environment {
public:
    void SetUp() override { Sandbox::instance(); }
    void TearDown() override { Sandbox::instance().stop(); }
};

// Registered once per test binary (GoogleTest owns the environment).
inline ::testing::Environment* const sandbox_environment =
    ::testing::AddGlobalTestEnvironment(new SandboxEnvironment);  // NOLINT(cppcoreguidelines-owning-memory)

}  // namespace zorv_git_gitlab::testing::detail
#endif
