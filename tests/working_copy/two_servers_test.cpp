// Two servers, two tokens: git presents each server its own token only, in the library's commands and
// in the caller's own git through the credential helper of a clone, also when a second sandbox of the
// test kit exports its variables over the first's.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "rest/base64.hpp"
#include "sandbox_fixture.hpp"
#include "test_helpers.hpp"
#include "zorv_git/process.hpp"
#include "zorv_git_gitlab/credentials.hpp"
#include "zorv_git_gitlab/git.hpp"

namespace fs = std::filesystem;
namespace z = zorv_git_gitlab;
namespace zt = zorv_git_gitlab::testing;
using testing::HasSubstr;
using testing::Not;

namespace {

// The variables of the process for one scope: set, or removed when the value is none.
class Environment {
public:
    Environment() = default;
    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;
    ~Environment() {
        for (const auto& [name, old] : saved_) {
            if (old) ::setenv(name.c_str(), old->c_str(), 1);
            else ::unsetenv(name.c_str());
        }
    }
    void set(const std::string& name, const std::optional<std::string>& value) {
        if (!saved_.contains(name)) {
            const char* old = std::getenv(name.c_str());
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value) ::setenv(name.c_str(), value->c_str(), 1);
        else ::unsetenv(name.c_str());
    }
    // A variable someone else sets from now on, removed at the end.
    void unset_at_end(const std::string& name) { saved_.try_emplace(name, std::nullopt); }

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

struct Seeded {
    std::string name;
    std::int64_t group = 0;
};

Seeded seed(const zt::Sandbox& sb) {
    const auto group = sb.group();
    const auto project = sb.project(group.at("id").get<std::int64_t>(), {}, {{"a.txt", "a\n"}});
    return {project.at("name").get<std::string>(), group.at("id").get<std::int64_t>()};
}

zorv_git::process::Result git(const fs::path& dir, const std::vector<std::string>& args) {
    std::vector<std::string> argv{"git"};
    argv.insert(argv.end(), args.begin(), args.end());
    return zorv_git::process::run(argv, {.cwd = dir, .env = {{"GIT_TERMINAL_PROMPT", "0"}}});
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Every credential the journal's requests carried: PRIVATE-TOKEN and Authorization values; and
// whether git's requests (the smart HTTP routes) were among them.
std::vector<std::string> credentials(const zt::Sandbox& sb, bool& git_requests) {
    std::vector<std::string> found;
    git_requests = false;
    for (const auto& entry : sb.journal()) {
        if (entry.at("path").get<std::string>().ends_with("/info/refs")) git_requests = true;
        for (const auto& [name, value] : entry.at("headers").items()) {
            std::string lower = name;
            for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (lower == "private-token" || lower == "authorization") found.push_back(value.get<std::string>());
        }
    }
    return found;
}

// The journal of `sb` holds only its own token, and git's requests with it.
void expect_only_own_token(const zt::Sandbox& sb, const std::string& own, const std::string& other) {
    bool git_requests = false;
    const auto seen = credentials(sb, git_requests);
    EXPECT_TRUE(git_requests) << sb.host();
    const std::string basic = "Basic " + z::rest::base64("oauth2:" + own);
    bool git_token = false;
    for (const auto& value : seen) {
        EXPECT_TRUE(value == own || value == basic) << sb.host() << ": " << value;
        EXPECT_THAT(value, Not(HasSubstr(other)));
        EXPECT_THAT(value, Not(HasSubstr(z::rest::base64("oauth2:" + other))));
        git_token = git_token || value == basic;
    }
    EXPECT_TRUE(git_token) << sb.host();
}

}  // namespace

TEST(TwoServers, EachSeesOnlyItsOwnTokenFromTheLibraryAndFromTheCallersGit) {
    auto& first = zorv_test::sandbox();  // the binary's sandbox: its variables are exported
    // The class-level operations have read their configuration (the first server) before the second
    // sandbox comes.
    ASSERT_EQ(z::GitlabGit::api_url.get(), first.api_url());
    ASSERT_FALSE(z::GitlabGit::gitlab_token.assigned());
    ASSERT_EQ(z::GitlabGit::gitlab_token.get(), first.token());
    const Seeded a = seed(first);

    // The second sandbox exports its variables over the first's, as a test starting it may ask.
    Environment env;
    for (const auto& [name, value] : first.environment()) env.set(name, value);
    zt::Sandbox second(zt::Sandbox::Options{.binary = {}, .args = {}, .export_environment = true});
    env.unset_at_end(z::token_variable(second.host()));
    ASSERT_NE(first.token(), second.token());
    ASSERT_EQ(std::string(std::getenv("GITLAB_TOKEN")), second.token());
    const Seeded b = seed(second);
    // Each sandbox has its own CA: git and libcurl trust both.
    zorv_test::TempDir tmp;
    std::ofstream(tmp / "both.pem") << read_file(first.ca_file()) << read_file(second.ca_file());
    env.set("CURL_CA_BUNDLE", tmp / "both.pem");
    env.set("GIT_SSL_CAINFO", tmp / "both.pem");
    first.clear_journal();
    second.clear_journal();

    // The first server through the class-level operations (GITLAB_HOST now names the second), the
    // second through a FixedContext of its own.
    z::GitlabGit::clone_project(tmp / "a", a.name, a.group);
    z::FixedContext other({second.api_url(), second.token(), {}});
    z::ops::clone_project(other, tmp / "b", b.name, b.group);
    std::ofstream(tmp / "b/b.txt") << "b\n";
    z::ops::commit_project(other, tmp / "b", "b", b.name, "master", b.group);
    std::ofstream(tmp / "a/a.txt") << "changed\n";
    z::GitlabGit::commit_project(tmp / "a", "a", a.name, "master", a.group);

    // The caller's own git: each clone's helper answers with the variable of its server.
    EXPECT_TRUE(git(tmp / "a", {"fetch", "-q", "origin"}).ok());
    EXPECT_TRUE(git(tmp / "b", {"fetch", "-q", "origin"}).ok());
    // Without it, GITLAB_TOKEN is handed only to the server GITLAB_HOST names: the first clone fails at
    // once, asking for its variable, while GITLAB_TOKEN (the second's) would have been at hand.
    env.set(z::token_variable(first.host()), std::nullopt);
    const auto refused = git(tmp / "a", {"fetch", "origin"});
    EXPECT_FALSE(refused.ok());
    EXPECT_THAT(refused.err, HasSubstr("set " + z::token_variable(first.host())));
    env.set(z::token_variable(second.host()), std::nullopt);
    EXPECT_TRUE(git(tmp / "b", {"fetch", "-q", "origin"}).ok());  // GITLAB_HOST names the second

    expect_only_own_token(first, first.token(), second.token());
    expect_only_own_token(second, second.token(), first.token());
    for (const auto* dir : {"a", "b"}) {
        const std::string config = read_file(fs::path(tmp / dir) / ".git/config");
        EXPECT_THAT(config, Not(HasSubstr(first.token())));
        EXPECT_THAT(config, Not(HasSubstr(second.token())));
    }
}
