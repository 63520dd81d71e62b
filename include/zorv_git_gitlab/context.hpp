// The context an operation runs with: the configuration it reads at the moment of the call, the
// inner-call table through which operations reach each other, and the output sinks.
//
// GitlabGit's class-level operations run with the default context (its class attributes, its own
// operations, standard output). A caller may derive from Context to change any of these for the
// calls it makes through the functions of operations.hpp, for instance a project lookup with a cache.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zorv_git_gitlab/json.hpp"

namespace zorv_git_gitlab {

// Limits and policies of the request layer. Every request reads them from its context.
struct Settings {
    // Time allowed to establish a connection (TCP and TLS).
    std::chrono::milliseconds connect_timeout{std::chrono::seconds(30)};
    // A transfer slower than stall_bytes_per_second for stall_time is abandoned.
    std::chrono::seconds stall_time{120};
    long stall_bytes_per_second = 1;
    // Largest answer body accepted; a larger one ends the request with ResponseTooLargeError.
    std::size_t max_response_bytes = std::size_t{256} << 20;
    // GET requests are retried on 429, 502, 503, 504 and dropped connections: at most max_tries
    // attempts in all, within retry_total_time, waiting retry_base_delay * 2^n with jitter between
    // attempts, or the server's Retry-After up to retry_after_cap. POST, PUT and DELETE are never retried.
    int max_tries = 4;
    std::chrono::milliseconds retry_total_time{std::chrono::seconds(60)};
    std::chrono::milliseconds retry_base_delay{500};
    std::chrono::milliseconds retry_after_cap{std::chrono::seconds(30)};
    // Interval between the polls of perform_merge's wait for the merge check.
    std::chrono::milliseconds merge_poll_interval{std::chrono::seconds(5)};
};

// The limits of Settings that the faces set by name (Python class attributes, command-line options),
// durations given in seconds.
inline constexpr std::array<std::string_view, 6> kSettingNames{
    "connect_timeout", "stall_timeout", "max_tries", "retry_total_time", "merge_poll_interval", "max_response_bytes"};

// Sets the limit `name` (one of kSettingNames) from `value`. Durations are taken to the nearest
// millisecond, then rounded up to the unit the limit is counted in (whole seconds for the stall time),
// and are never below one unit; max_tries is at least 1. std::invalid_argument for an unknown name or a
// negative or non-finite value.
void set_setting(Settings& settings, std::string_view name, double value);

// The text with every non-empty secret (an access token) replaced by "[REDACTED]".
[[nodiscard]] std::string redact(std::string_view text, const std::vector<std::string>& secrets);

// What a request needs to know: where the API is, who asks, and the limits.
struct Config {
    std::string api_url;
    std::optional<std::string> token;
    Settings settings;
};

enum class LogLevel { debug, info, warning, error };

// What became of an operation, for the faces that act on it (the command-line tool's exit status).
// An operation reports every outcome but done at the moment it decides on it, next to the line it prints.
struct Outcome {
    enum class Kind { done, refused, not_found, nothing_to_do };
    Kind kind = Kind::done;
    std::string line;  // the line printed with it (for refused: the failure line); may be empty
};

// The operations that other operations call through the context.
enum class InnerCall { get_project_info, get_sub_group_info, get_branch_info, get_tag_info, commit_file, clean_workspace };
// Their names, indexed by InnerCall: the names the operations have on every face.
inline constexpr std::array<std::string_view, 6> kInnerCallNames{
    "get_project_info", "get_sub_group_info", "get_branch_info", "get_tag_info", "commit_file", "clean_workspace"};

class Context {
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
    // The token used in the clone address, read at the moment of the clone: GITLAB_TOKEN from the
    // environment when set, else the configured token.
    [[nodiscard]] virtual std::optional<std::string> clone_token() const;
};

// A context with a fixed configuration and the library's own inner calls and output.
class FixedContext : public Context {
public:
    explicit FixedContext(Config config) : config_(std::move(config)) {}
    [[nodiscard]] Config config() const override { return config_; }
    // The library's own inner calls, unless a class derived from this one may have replaced them.
    [[nodiscard]] bool redefines(InnerCall call) const noexcept override;

private:
    Config config_;
};

}  // namespace zorv_git_gitlab
