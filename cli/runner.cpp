#include "runner.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <vector>

#include "zorv_git_gitlab/git.hpp"

namespace zorv_cli {
namespace zg = zorv_git_gitlab;

namespace {

void write_stream(std::FILE* stream, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

// Blanks out every secret that may not reach the terminal: the configured token and GITLAB_TOKEN.
std::string redact(std::string text, const std::vector<std::string>& secrets) {
    for (const auto& secret : secrets) {
        if (secret.empty()) continue;
        for (auto at = text.find(secret); at != std::string::npos; at = text.find(secret, at)) {
            text.replace(at, secret.size(), "[token]");
        }
    }
    return text;
}

std::chrono::milliseconds milliseconds_of(double seconds) {
    return std::chrono::milliseconds(std::max<long long>(1, std::llround(seconds * 1000.0)));
}

zg::Config config_for(const GlobalOptions& options) {
    zg::Settings settings = zg::GitlabGit::settings.get();
    if (options.connect_timeout_s) settings.connect_timeout = milliseconds_of(*options.connect_timeout_s);
    if (options.stall_timeout_s) {
        settings.stall_time = std::chrono::seconds(std::max<long long>(1, std::llround(std::ceil(*options.stall_timeout_s))));
    }
    if (options.poll_interval_s) settings.merge_poll_interval = milliseconds_of(*options.poll_interval_s);
    if (options.max_tries) settings.max_tries = *options.max_tries;
    return zg::Config{zg::GitlabGit::api_url.get(), zg::GitlabGit::gitlab_token.get(), settings};
}

// Progress of long operations (perform_merge's wait) for the person at the terminal.
void log_to_stderr(zg::LogLevel level, std::string_view message) {
    if (level == zg::LogLevel::debug) return;
    const char* name = level == zg::LogLevel::info ? "INFO" : level == zg::LogLevel::warning ? "WARNING" : "ERROR";
    write_stream(stderr, std::string(name) + ": " + std::string(message) + "\n");
}

}  // namespace

bool is_failure_line(std::string_view line) {
    return line.starts_with("Failed to ") || (line.starts_with("Project ") && line.ends_with(" doesn't exist")) ||
           line == "Subgroup Not Found";
}

void CliContext::print_line(std::string_view line) {
    Context::print_line(line);
    if (is_failure_line(line)) reported_failure_ = true;
}

std::optional<Json> CliContext::get_branch_info(const std::string& project_name, std::int64_t group_id,
                                                const std::string& branch_name) {
    auto record = Context::get_branch_info(project_name, group_id, branch_name);
    branch_missing_ = !record.has_value();
    return record;
}

int run_operation(std::string_view name, const GlobalOptions& options,
                  const std::function<Outcome(CliContext&)>& operation) {
    CliContext context(config_for(options));
    std::vector<std::string> secrets;
    if (const auto token = context.config().token) secrets.push_back(*token);
    if (const char* token = std::getenv("GITLAB_TOKEN")) secrets.emplace_back(token);

    zg::GitlabGit::set_log_handler(&log_to_stderr);
    Outcome outcome;
    try {
        outcome = operation(context);
    } catch (const std::exception& error) {
        // Library messages start with the operation's name; others get it in front.
        std::string message = error.what();
        if (!message.starts_with(name)) message = std::string(name) + ": " + message;
        write_stream(stderr, "zorv-gitlab: " + redact(std::move(message), secrets) + "\n");
        return kExitError;
    }

    if (outcome.has_result) {
        const Json shown = outcome.value.value_or(Json(nullptr));
        const std::string text = options.json ? shown.dump(-1, ' ', false, Json::error_handler_t::replace)
                                              : shown.dump(2, ' ', false, Json::error_handler_t::replace);
        write_stream(stdout, text + "\n");
        if (!outcome.value && !context.reported_failure()) {
            write_stream(stderr, "zorv-gitlab: " + std::string(name) +
                                     ": no result (nothing found, or the server refused the request)\n");
        }
    }
    return outcome.failed || context.reported_failure() ? kExitFailed : kExitOk;
}

}  // namespace zorv_cli
