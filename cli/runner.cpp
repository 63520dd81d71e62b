#include "runner.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <vector>

#include "zorv_git_gitlab/git.hpp"

namespace zorv_cli {
namespace zg = zorv_git_gitlab;

namespace {

void write_stream(std::FILE* stream, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

zg::Config config_for(const GlobalOptions& options) {
    zg::Settings settings = zg::GitlabGit::settings.get();
    for (const auto& [setting, value] : options.limits) zg::set_setting(settings, *setting, value);
    return zg::Config{zg::GitlabGit::api_url.get(), zg::GitlabGit::gitlab_token.get(), settings};
}

}  // namespace

void CliContext::print_line(std::string_view line) {
    if (json_) {
        write_stream(stderr, std::string(line) + "\n");
    } else {
        Context::print_line(line);
    }
}

// Warnings and errors always; INFO records are progress of long operations (perform_merge's wait),
// for the person at the terminal; with --verbose, every record (the request trace too).
void CliContext::log(zg::LogLevel level, std::string_view message) {
    if (!log_enabled(level)) return;
    zg::write_log_record(level, message);
}

bool CliContext::log_enabled(zg::LogLevel level) const {
    switch (level) {
    case zg::LogLevel::debug:
        return verbose_;
    case zg::LogLevel::info:
        return verbose_ || progress_;
    case zg::LogLevel::warning:
    case zg::LogLevel::error:
        break;
    }
    return true;
}

void CliContext::report(const zg::Outcome& outcome) {
    using Kind = zg::Outcome::Kind;
    if (outcome.kind == Kind::refused || outcome.kind == Kind::not_found) failed_ = true;
    if (outcome.kind == Kind::nothing_to_do) nothing_to_do_ = true;
    if ((outcome.kind == Kind::not_found || outcome.kind == Kind::nothing_to_do) && outcome.line.empty()) {
        const std::lock_guard lock(mutex_);
        unprinted_ = outcome;
    }
}

std::optional<zg::Outcome> CliContext::unprinted() const {
    const std::lock_guard lock(mutex_);
    return unprinted_;
}

int run_operation(std::string_view name, const GlobalOptions& options,
                  const std::function<Result(CliContext&)>& operation) {
    if (!std::getenv("GITLAB_HOST")) {
        write_stream(stderr, "zorv-gitlab: GITLAB_HOST is not set; set it to the GitLab server's host name\n");
        return kExitError;
    }
    CliContext context(config_for(options), options, ::isatty(STDERR_FILENO) == 1);
    std::vector<std::string> secrets;
    if (const auto token = context.config().token) secrets.push_back(*token);
    if (const char* token = std::getenv("GITLAB_TOKEN")) secrets.emplace_back(token);

    Result outcome;
    try {
        outcome = operation(context);
    } catch (const std::exception& error) {
        // Library messages start with the operation's name; others get it in front.
        std::string message = error.what();
        if (!message.starts_with(name)) message = std::string(name) + ": " + message;
        write_stream(stderr, "zorv-gitlab: " + zg::redact(message, secrets) + "\n");
        return kExitError;
    }

    if (outcome.has_result) {
        const Json shown = outcome.value.value_or(Json(nullptr));
        const std::string text = options.json ? shown.dump(-1, ' ', false, Json::error_handler_t::replace)
                                              : shown.dump(2, ' ', false, Json::error_handler_t::replace);
        write_stream(stdout, text + "\n");
    }
    // What the operation decided without a line of its own, said in one line.
    if (const auto unprinted = context.unprinted()) {
        const bool missing = unprinted->kind == zg::Outcome::Kind::not_found;
        write_stream(stderr, "zorv-gitlab: " + std::string(name) + ": " +
                                 (unprinted->note.empty() ? std::string() : unprinted->note + " ") +
                                 (missing ? "(not found)" : "(nothing to do)") + "\n");
    } else if (outcome.has_result && !outcome.value && !context.failed()) {
        write_stream(stderr, "zorv-gitlab: " + std::string(name) +
                                 ": no result (nothing found, or the server refused the request)\n");
    }
    // Nothing to do is a success even when the operation hands back no result (create_branch of a
    // branch that exists).
    if (context.failed()) return kExitFailed;
    return outcome.failed && !context.nothing_to_do() ? kExitFailed : kExitOk;
}

}  // namespace zorv_cli
