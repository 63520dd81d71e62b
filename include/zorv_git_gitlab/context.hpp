// The context an operation runs with: the configuration it reads at the moment of the call, the
// inner-call table through which operations reach each other, and the output sinks.
//
// GitlabGit's class-level operations run with the default context (its class attributes, its own
// operations, standard output). A caller may derive from Context to change any of these for the
// calls it makes through the functions of operations.hpp, for instance a project lookup with a cache.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zorv_git_gitlab/export.hpp"
#include "zorv_git_gitlab/json.hpp"
#include "zorv_git_gitlab/pacing.hpp"
#include "zorv_git_gitlab/settings.hpp"

namespace zorv_git_gitlab {

// The text with every non-empty secret (an access token) replaced by "[REDACTED]".
[[nodiscard]] ZORV_GIT_GITLAB_API std::string redact(std::string_view text, const std::vector<std::string>& secrets);

// What a request needs to know: where the API is, who asks, and the limits.
struct Config {
    std::string api_url;
    std::optional<std::string> token;
    Settings settings;
};

enum class LogLevel { debug, info, warning, error };
// Receives log records (GitlabGit::set_log_handler).
using LogHandler = std::function<void(LogLevel, std::string_view)>;
// "DEBUG", "INFO", "WARNING", "ERROR".
[[nodiscard]] ZORV_GIT_GITLAB_API std::string_view level_name(LogLevel level) noexcept;
// Writes "LEVEL: message" and its newline to standard error in one piece: where records go without a
// handler (WARNING and above), and what a handler may call to do the same.
ZORV_GIT_GITLAB_API void write_log_record(LogLevel level, std::string_view message);

// What became of an operation, for the faces that act on it (the command-line tool's exit status).
// An operation reports every outcome but done at the moment it decides on it, next to the line it prints.
struct Outcome {
    enum class Kind { done, refused, not_found, nothing_to_do };
    Kind kind = Kind::done;
    std::string line;  // the line printed with it (for refused: the failure line); may be empty
    std::string note{};  // with no line: what was not found or needed nothing ("branch x exists in app")
};

// The operations that other operations call through the context.
enum class InnerCall { get_project_info, get_sub_group_info, get_branch_info, get_tag_info, commit_file, clean_workspace };
// Their names, indexed by InnerCall: the names the operations have on every face.
inline constexpr std::array<std::string_view, 6> kInnerCallNames{
    "get_project_info", "get_sub_group_info", "get_branch_info", "get_tag_info", "commit_file", "clean_workspace"};

class ZORV_GIT_GITLAB_API Context {
public:
    Context() = default;
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    virtual ~Context() = default;

    // The configuration at the moment of the call.
    [[nodiscard]] virtual Config config() const = 0;

    // Output: one whole line (without its newline) on the operation's standard output; one log record.
    virtual void print_line(std::string_view line);
    virtual void log(LogLevel level, std::string_view message);
    // Whether a record of `level` would reach anyone; lets the request layer skip building records
    // nobody reads (the per-request DEBUG trace).
    [[nodiscard]] virtual bool log_enabled(LogLevel level) const;
    // Receives the outcomes the operation decides on (refused, not found, nothing to do); the default
    // ignores them. Lines are printed as well: this is the same news as a value.
    virtual void report(const Outcome& outcome);

    // True when this context replaces `call` with one of its own: the library then calls it exactly as
    // documented. Where it is the library's own, an operation may hand what it already found (the
    // project) to it instead of asking the server again. A context that cannot tell answers true.
    [[nodiscard]] virtual bool redefines(InnerCall call) const noexcept;

    // Inner calls: operations that other operations build on. The defaults run the library's own.
    virtual std::optional<Json> get_project_info(const std::string& project_name, std::int64_t group_id);
    virtual std::optional<Json> get_sub_group_info(const std::string& group_name, std::int64_t parent_id);
    virtual std::optional<Json> get_branch_info(const std::string& project_name, std::int64_t group_id,
                                                const std::string& branch_name);
    virtual std::optional<Json> get_tag_info(const std::string& tag_name, const std::string& project_name,
                                             std::int64_t group_id);
    virtual void commit_file(const std::string& project_name, std::int64_t group_id, const std::string& filename,
                             const std::string& file_content);
    virtual bool clean_workspace(const std::string& path, bool destroy);
    // True when this context's token is the one GITLAB_TOKEN holds (the default context while
    // GitlabGit::gitlab_token is not assigned, a Python class that keeps the value read at import).
    // The default: false, the configured token is the context's own.
    [[nodiscard]] virtual bool token_from_environment() const;
    // The token git presents to this context's server (clone_project, commit_project's fetches), read
    // at the moment of the call: the configured token; for a context whose token comes from the
    // environment and whose api_url is on the server GITLAB_HOST names, GITLAB_TOKEN as it is now
    // (none when unset). git sends it to the server of api_url only.
    [[nodiscard]] virtual std::optional<std::string> clone_token() const;
    // True when long work shows its progress on standard error, for a person at a terminal: git's own
    // progress while cloning, commit_project's upload as bytes sent of the body's total. The default:
    // false (the command-line tool shows it when standard error is a terminal and --json is not given).
    [[nodiscard]] virtual bool show_progress() const;

    // The pacing every request made through this context goes by (see pacing.hpp): by default the
    // context's own, so that all its threads share one budget. A context made for one call on behalf
    // of a longer-lived one returns that one's.
    virtual Pacing& pacing() noexcept { return pacing_; }

private:
    Pacing pacing_;
};

// A context with a fixed configuration and the library's own inner calls and output.
class ZORV_GIT_GITLAB_API FixedContext : public Context {
public:
    explicit FixedContext(Config config) : config_(std::move(config)) {}
    [[nodiscard]] Config config() const override { return config_; }
    // The library's own inner calls, unless a class derived from this one may have replaced them.
    [[nodiscard]] bool redefines(InnerCall call) const noexcept override;

private:
    Config config_;
};

}  // namespace zorv_git_gitlab
