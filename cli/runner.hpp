// Running one operation for the command line: the context it runs with, what it handed back, how that
// is printed, and the exit status.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zorv_git_gitlab/context.hpp"
#include "zorv_git_gitlab/json.hpp"

namespace zorv_cli {

using zorv_git_gitlab::Json;

// Exit statuses of the tool.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // the operation was refused, found nothing, or its result says it failed
inline constexpr int kExitUsage = 2;
inline constexpr int kExitError = 3;  // an error was raised

// What an operation handed back.
struct Result {
    bool has_result = false;    // false for operations that return nothing
    std::optional<Json> value;  // the result; no value when the operation found nothing or was refused
    bool failed = false;        // the result says the operation failed (a false boolean, nothing found)
};

inline Result no_result() { return {}; }
inline Result result(std::optional<Json> record) {
    const bool missing = !record.has_value();
    return {.has_result = true, .value = std::move(record), .failed = missing};
}
inline Result result(bool ok) { return {.has_result = true, .value = Json(ok), .failed = !ok}; }
inline Result result(const std::optional<std::string>& text) {
    if (!text) return {.has_result = true, .value = std::nullopt, .failed = true};
    return {.has_result = true, .value = Json(*text), .failed = false};
}
inline Result result(std::optional<std::int64_t> number) {
    if (!number) return {.has_result = true, .value = std::nullopt, .failed = true};
    return {.has_result = true, .value = Json(*number), .failed = false};
}
inline Result result(const std::string& text) { return {.has_result = true, .value = Json(text), .failed = false}; }

// Options that apply to every operation; limits not given keep the library's defaults.
struct GlobalOptions {
    bool json = false;     // the result on one line, alone on standard output; the operation's lines on stderr
    bool verbose = false;  // every log record (DEBUG: one per request) on standard error
    // Limits given on the command line, by their descriptors (kSettings), durations in seconds.
    std::vector<std::pair<const zorv_git_gitlab::SettingDescriptor*, double>> limits;
};

// The context of one command: a fixed configuration (the library's, with the limits given on the
// command line), the operation's lines on standard output (on standard error with --json), records
// and progress on standard error, and a note of the outcomes the operation reported.
class CliContext final : public zorv_git_gitlab::Context {
public:
    // `terminal`: standard error is a terminal; progress is shown there unless options.json.
    CliContext(zorv_git_gitlab::Config config, const GlobalOptions& options, bool terminal)
        : config_(std::move(config)), json_(options.json), verbose_(options.verbose),
          progress_(terminal && !options.json) {}

    [[nodiscard]] zorv_git_gitlab::Config config() const override { return config_; }
    void print_line(std::string_view line) override;
    void log(zorv_git_gitlab::LogLevel level, std::string_view message) override;
    [[nodiscard]] bool log_enabled(zorv_git_gitlab::LogLevel level) const override;
    void report(const zorv_git_gitlab::Outcome& outcome) override;
    [[nodiscard]] bool redefines(zorv_git_gitlab::InnerCall) const noexcept override { return false; }
    [[nodiscard]] bool show_progress() const override { return progress_; }

    // The server refused a request, or what the operation names does not exist.
    [[nodiscard]] bool failed() const noexcept { return failed_; }
    // The operation found nothing to do (a result it did not hand back is then no failure).
    [[nodiscard]] bool nothing_to_do() const noexcept { return nothing_to_do_; }
    // The last "not found" or "nothing to do" the operation reported without printing a line of its own.
    [[nodiscard]] std::optional<zorv_git_gitlab::Outcome> unprinted() const;

private:
    zorv_git_gitlab::Config config_;
    bool json_;
    bool verbose_;
    bool progress_;
    std::atomic<bool> failed_{false};
    std::atomic<bool> nothing_to_do_{false};
    mutable std::mutex mutex_;
    std::optional<zorv_git_gitlab::Outcome> unprinted_;
};

// Runs `operation` with a context built from the environment and `options`, prints its result, and
// returns the exit status. Errors raised by the operation are reported on standard error (with any
// access token blanked out) and give kExitError.
int run_operation(std::string_view name, const GlobalOptions& options,
                  const std::function<Result(CliContext&)>& operation);

}  // namespace zorv_cli
