// Where the library's lines and log records go by default.
#pragma once

#include <string_view>

#include "zorv_git_gitlab/git.hpp"

namespace zorv_git_gitlab::rest {

// Writes the line and its newline to standard output in one piece: lines printed by several threads
// never mix within a line.
void write_stdout_line(std::string_view line);

// Hands the record to the installed log handler, or (without one) writes WARNING and above to
// standard error.
void emit_log(LogLevel level, std::string_view message);
// Writes "LEVEL: message" and its newline to standard error in one piece.
void write_stderr_record(LogLevel level, std::string_view message);
void install_log_handler(LogHandler handler);
// True when emit_log would pass a record of `level` on.
bool log_enabled(LogLevel level);

}  // namespace zorv_git_gitlab::rest
