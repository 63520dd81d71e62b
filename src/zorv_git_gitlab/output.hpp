// What operations print and log: the default sinks of a Context (whole lines on standard output, the
// log hook), and the lines an operation prints together with the outcome they report.
#pragma once

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

}  // namespace zorv_git_gitlab

namespace zorv_git_gitlab::ops {

// Prints the line; with an outcome, also reports it to the context (a line saying that nothing was
// found, or that nothing was to be done).
void print(Context& ctx, std::string_view line);
void print(Context& ctx, std::string_view line, Outcome::Kind outcome);
// Prints "message body" (the failure line) and reports the refusal to the context.
void fail(Context& ctx, std::string_view message, const rest::Response& response);

}  // namespace zorv_git_gitlab::ops
