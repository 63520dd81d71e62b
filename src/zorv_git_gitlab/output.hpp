// What operations print and log: the default sinks of a Context (whole lines on standard output, the
// log hook), and the lines an operation prints together with the outcome they report.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "rest/api.hpp"
#include "zorv_git_gitlab/context.hpp"

namespace zorv_git_gitlab {

// Writes the line and its newline to standard output in one piece: lines printed by several threads
// never mix within a line.
void write_stdout_line(std::string_view line);

// Hands the record to the installed log handler, or (without one) writes WARNING and above to
// standard error with write_log_record.
void emit_log(LogLevel level, std::string_view message);
void install_log_handler(LogHandler handler);
// True when emit_log would pass a record of `level` on (the default Context::log_enabled).
bool default_log_enabled(LogLevel level);

// Writes progress text as it is (pieces ending in "\r" rewrite the line) to standard error, at once.
void write_progress(std::string_view text);

// A progress line on standard error, rewritten in place as the work advances:
// "<label>: 42% (1258291 of 2995882 bytes)", then ", done." when it completes, or only the line's
// end when it stops short. Written when the whole percentage changes, so at most about 100 times.
class ProgressLine {
public:
    ProgressLine(std::string label, std::uint64_t total);
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;
    ~ProgressLine();
    void advance(std::uint64_t n);
    void complete();

private:
    [[nodiscard]] int percent() const;
    void show(std::string_view end);

    std::string label_;
    std::uint64_t total_;
    std::uint64_t done_ = 0;
    int shown_percent_ = -1;
    bool ended_ = false;
};

}  // namespace zorv_git_gitlab

namespace zorv_git_gitlab::ops {

// Prints the line; with an outcome, also reports it to the context (a line saying that nothing was
// found, or that nothing was to be done).
void print(Context& ctx, std::string_view line);
void print(Context& ctx, std::string_view line, Outcome::Kind outcome);
// Prints "message body" (the failure line) and reports the refusal to the context.
void fail(Context& ctx, std::string_view message, const rest::Response& response);

}  // namespace zorv_git_gitlab::ops
