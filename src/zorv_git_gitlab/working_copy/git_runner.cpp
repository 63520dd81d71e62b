#include "working_copy/git_runner.hpp"

#include <algorithm>
#include <charconv>
#include <cstdlib>

#include "output.hpp"
#include "rest/base64.hpp"
#include "zorv_git_gitlab/credentials.hpp"
#include "zorv_git_gitlab/errors.hpp"

namespace zorv_git_gitlab::working_copy {
namespace process = zorv_git::process;
namespace {

// Variables that would point git at another repository, index or object store than the one in cwd,
// and programs git would start to ask for a password.
const std::vector<std::string> kUnsetAlways = {
    "GIT_DIR",        "GIT_WORK_TREE",         "GIT_INDEX_FILE", "GIT_OBJECT_DIRECTORY",
    "GIT_COMMON_DIR", "GIT_ALTERNATE_OBJECT_DIRECTORIES", "GIT_NAMESPACE", "GIT_PREFIX",
    "GIT_ASKPASS",    "SSH_ASKPASS"};

// The index at which our own GIT_CONFIG_KEY_<n> goes: after the entries the caller's environment
// already defines, so that its configuration still applies.
std::size_t config_env_index() {
    const char* count = std::getenv("GIT_CONFIG_COUNT");
    if (!count) return 0;
    std::size_t value = 0;
    const std::string_view text(count);
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size()) return 0;
    return value;
}

std::string trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(first, last - first + 1));
}

// The lock file git found in its way ("Unable to create '<path>.lock': File exists."), or "".
std::string lock_file_in(std::string_view message) {
    constexpr std::string_view kStart = "Unable to create '";
    constexpr std::string_view kEnd = ".lock': File exists";
    const auto start = message.find(kStart);
    if (start == std::string_view::npos) return {};
    const auto end = message.find(kEnd, start + kStart.size());
    if (end == std::string_view::npos) return {};
    const auto first = start + kStart.size();
    return std::string(message.substr(first, end + 5 - first));
}

}  // namespace

GitRunner::GitRunner(std::filesystem::path cwd, Credential credential, std::vector<std::string> extra_secrets,
                     const Settings& settings)
    : cwd_(std::move(cwd)), secrets_(std::move(extra_secrets)) {
    if (!std::getenv("GIT_HTTP_LOW_SPEED_LIMIT") && !std::getenv("GIT_HTTP_LOW_SPEED_TIME")) {
        network_env_ = {{"GIT_HTTP_LOW_SPEED_LIMIT", std::to_string(settings.stall_bytes_per_second)},
                        {"GIT_HTTP_LOW_SPEED_TIME", std::to_string(settings.stall_timeout.count())}};
    }
    if (const auto& token = credential.token; token && !token->empty()) {
        const std::string basic = rest::base64("oauth2:" + *token);
        const std::string index = std::to_string(config_env_index());
        // http.<url>.extraHeader: git adds the header only to requests for that server (its scheme,
        // host and port), whatever address the remote or a redirect names.
        auth_env_ = {{"GIT_CONFIG_COUNT", std::to_string(config_env_index() + 1)},
                     {"GIT_CONFIG_KEY_" + index, "http." + credential.server + "/.extraHeader"},
                     {"GIT_CONFIG_VALUE_" + index, "Authorization: Basic " + basic}};
        secrets_.push_back(*token);
        secrets_.push_back(basic);
    }
    // Longest first, so that a secret containing another is replaced whole.
    std::erase_if(secrets_, [](const std::string& s) { return s.empty(); });
    std::sort(secrets_.begin(), secrets_.end(), [](const auto& a, const auto& b) { return a.size() > b.size(); });
}

GitRunner GitRunner::for_context(const Context& ctx, std::filesystem::path cwd) {
    const Config config = ctx.config();
    return GitRunner(std::move(cwd), Credential{server_of(config.api_url), ctx.clone_token()},
                     {config.token.value_or("")}, config.settings);
}

process::Options GitRunner::options(bool network) const {
    process::Options opts;
    opts.cwd = cwd_;
    opts.env.emplace_back("GIT_TERMINAL_PROMPT", "0");
    opts.unset_env = kUnsetAlways;
    if (network) {
        opts.env.insert(opts.env.end(), auth_env_.begin(), auth_env_.end());
        opts.env.insert(opts.env.end(), network_env_.begin(), network_env_.end());
    }
    return opts;
}

Args GitRunner::argv(const Args& args) {
    Args out;
    out.reserve(args.size() + 1);
    out.emplace_back("git");
    out.insert(out.end(), args.begin(), args.end());
    return out;
}

std::string GitRunner::redact(std::string_view text) const { return zorv_git_gitlab::redact(text, secrets_); }

void GitRunner::fail(const Args& args, std::string_view message, int exit_code) const {
    std::string command = "git";
    for (const auto& arg : args) {
        command += ' ';
        command += arg;
    }
    std::string text = command;
    if (!cwd_.empty()) text += " (in " + cwd_.string() + ")";
    text += exit_code >= 0 ? " failed with exit status " + std::to_string(exit_code) : std::string(" failed");
    if (const auto detail = trim(message); !detail.empty()) text += ": " + detail;
    throw GitError(redact(text), exit_code);
}

void GitRunner::fail(const Args& args, const process::Result& result) const {
    // git writes most failures to stderr; some (merge conflicts) go to stdout.
    std::string message = trim(result.err);
    if (const auto out = trim(result.out); !out.empty()) message += (message.empty() ? "" : "\n") + out;
    if (result.timed_out) message = "timed out. " + message;
    if (result.term_signal != 0) message = "ended by signal " + std::to_string(result.term_signal) + ". " + message;
    // A lock file is never removed here: only its owner, or someone who knows that no git runs, may.
    if (const auto lock = lock_file_in(message); !lock.empty()) {
        message = "the lock file " + lock + " exists: another git process is working in this repository, or one " +
                  "was killed before it finished. If no git process is running there, remove " + lock +
                  " and call again.\n" + message;
    }
    fail(args, message, result.exit_code);
}

process::Result GitRunner::probe(const Args& args) const {
    try {
        return process::run(argv(args), options(false));
    } catch (const process::SpawnError& e) {
        fail(args, e.what(), -1);
    }
}

process::Result GitRunner::run(const Args& args, const GitCall& call) const {
    process::Options opts = options(call.network);
    opts.stdin_data = call.stdin_data;
    // git's progress passed on piece by piece, each ending where git ends a line or returns to its
    // start, so that a secret (in a trace the caller asked git for) is redacted whole.
    std::string partial;
    if (call.progress) {
        opts.on_stderr = [&](std::string_view chunk) {
            for (const char c : chunk) {
                partial += c;
                if (c == '\r' || c == '\n') {
                    write_progress(redact(partial));
                    partial.clear();
                }
            }
        };
    }
    process::Result result;
    try {
        result = process::run(argv(args), opts);
    } catch (const process::SpawnError& e) {
        fail(args, e.what(), -1);
    }
    if (!partial.empty()) write_progress(redact(partial) + "\n");
    if (result.term_signal != 0 || std::find(call.accept.begin(), call.accept.end(), result.exit_code) == call.accept.end()) {
        fail(args, result);
    }
    return result;
}

std::string GitRunner::output(const Args& args, const GitCall& call) const {
    std::string out = run(args, call).out;
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

process::Child GitRunner::start(const Args& args) const {
    try {
        return process::Child(argv(args), options(false));
    } catch (const process::SpawnError& e) {
        fail(args, e.what(), -1);
    }
}

}  // namespace zorv_git_gitlab::working_copy
