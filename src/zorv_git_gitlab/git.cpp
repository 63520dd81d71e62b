// GitlabGit's class attributes and its default context.
#include "zorv_git_gitlab/git.hpp"

#include <cstdlib>

#include "output.hpp"

namespace zorv_git_gitlab {
namespace {

std::string api_url_from_environment() {
    const char* host = std::getenv("GITLAB_HOST");
    return std::string("https://") + (host ? host : "None") + "/api/v4/";
}

std::optional<std::string> token_from_environment() {
    const char* token = std::getenv("GITLAB_TOKEN");
    if (!token) return std::nullopt;
    return std::string(token);
}

Settings default_settings() { return Settings{}; }

// Reads the class attributes at the moment of each call.
class DefaultContext final : public Context {
public:
    [[nodiscard]] Config config() const override {
        return Config{GitlabGit::api_url.get(), GitlabGit::gitlab_token.get(), GitlabGit::settings.get()};
    }
    [[nodiscard]] bool redefines(InnerCall) const noexcept override { return false; }
    // Until a token is assigned, the class's token is GITLAB_TOKEN's.
    [[nodiscard]] bool token_from_environment() const override { return !GitlabGit::gitlab_token.assigned(); }
};

}  // namespace

const std::vector<std::string> GitlabGit::PIPELINE_END_STATUS{"success", "failed", "canceled", "skipped"};
Attribute<std::string> GitlabGit::api_url{&api_url_from_environment};
Attribute<std::optional<std::string>> GitlabGit::gitlab_token{&token_from_environment};
Attribute<Settings> GitlabGit::settings{&default_settings};

Context& GitlabGit::default_context() {
    static DefaultContext context;
    return context;
}

void GitlabGit::set_log_handler(LogHandler handler) { install_log_handler(std::move(handler)); }

}  // namespace zorv_git_gitlab
