// Running one operation for the command line: the context it runs with, what it handed back, how that
// is printed, and the exit status.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "zorv_git_gitlab/context.hpp"
#include "zorv_git_gitlab/json.hpp"

namespace zorv_cli {

using zorv_git_gitlab::Json;

// Exit statuses of the tool.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // the operation reported a failure or found nothing
inline constexpr int kExitUsage = 2;
inline constexpr int kExitError = 3;  // an error was raised

// What an operation handed back.
struct Outcome {
    bool has_result = false;    // false for operations that return nothing
    std::optional<Json> value;  // the result; no value when the operation found nothing or was refused
    bool failed = false;        // the result says the operation failed (a false boolean, nothing found)
};

inline Outcome no_result() { return {}; }
inline Outcome nothing_found() { return {.has_result = false, .value = std::nullopt, .failed = true}; }
inline Outcome result(std::optional<Json> record) {
    const bool missing = !record.has_value();
    return {.has_result = true, .value = std::move(record), .failed = missing};
}
inline Outcome result(bool ok) { return {.has_result = true, .value = Json(ok), .failed = !ok}; }
inline Outcome result(const std::optional<std::string>& text) {
    if (!text) return {.has_result = true, .value = std::nullopt, .failed = true};
    return {.has_result = true, .value = Json(*text), .failed = false};
}
inline Outcome result(std::optional<std::int64_t> number) {
    if (!number) return {.has_result = true, .value = std::nullopt, .failed = true};
    return {.has_result = true, .value = Json(*number), .failed = false};
}
inline Outcome result(const std::string& text) { return {.has_result = true, .value = Json(text), .failed = false}; }

// Options that apply to every operation; limits not given keep the library's defaults.
struct GlobalOptions {
    bool json = false;  // the result on one line
    std::optional<double> connect_timeout_s;
    std::optional<double> stall_timeout_s;
    std::optional<double> poll_interval_s;
    std::optional<int> max_tries;
};

// The context of one command: a fixed configuration (the library's, with the limits given on the
// command line), the library's own output, and a note of every failure line and missed lookup.
class CliContext final : public zorv_git_gitlab::Context {
public:
    explicit CliContext(zorv_git_gitlab::Config config) : config_(std::move(config)) {}

    [[nodiscard]] zorv_git_gitlab::Config config() const override { return config_; }
    void print_line(std::string_view line) override;
    std::optional<Json> get_branch_info(const std::string& project_name, std::int64_t group_id,
                                        const std::string& branch_name) override;

    // A line that reports a refusal or a missing project or subgroup was printed.
    [[nodiscard]] bool reported_failure() const noexcept { return reported_failure_; }
    // The last branch lookup made through this context found no branch.
    [[nodiscard]] bool branch_missing() const noexcept { return branch_missing_; }

private:
    zorv_git_gitlab::Config config_;
    std::atomic<bool> reported_failure_{false};
    std::atomic<bool> branch_missing_{false};
};

// True for the lines the operations print when the server refused a request or the project or
// subgroup they name does not exist.
bool is_failure_line(std::string_view line);

// Runs `operation` with a context built from the environment and `options`, prints its result, and
// returns the exit status. Errors raised by the operation are reported on standard error (with any
// access token blanked out) and give kExitError.
int run_operation(std::string_view name, const GlobalOptions& options,
                  const std::function<Outcome(CliContext&)>& operation);

}  // namespace zorv_cli
