// The default sinks of a Context and the lines operations print.
#include "output.hpp"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

namespace zorv_git_gitlab {
namespace {

std::mutex& stdout_mutex() {
    static std::mutex mutex;
    return mutex;
}

// The installed handler; replaced whole under the mutex and called through a copy of the pointer, so
// a record never sees a half-installed handler and a handler may run while another is installed.
struct LogSink {
    std::mutex mutex;
    std::shared_ptr<const LogHandler> handler;
};

LogSink& log_sink() {
    static LogSink sink;
    return sink;
}

}  // namespace

std::string_view level_name(LogLevel level) noexcept {
    switch (level) {
    case LogLevel::debug:
        return "DEBUG";
    case LogLevel::info:
        return "INFO";
    case LogLevel::warning:
        return "WARNING";
    case LogLevel::error:
        return "ERROR";
    }
    return "INFO";
}

void write_stdout_line(std::string_view line) {
    std::string whole(line);
    whole += '\n';
    std::lock_guard lock(stdout_mutex());
    std::fwrite(whole.data(), 1, whole.size(), stdout);
    std::fflush(stdout);
}

void emit_log(LogLevel level, std::string_view message) {
    std::shared_ptr<const LogHandler> handler;
    {
        std::lock_guard lock(log_sink().mutex);
        handler = log_sink().handler;
    }
    if (handler) {
        (*handler)(level, message);
        return;
    }
    if (level >= LogLevel::warning) write_log_record(level, message);
}

void write_log_record(LogLevel level, std::string_view message) {
    const std::string line = std::string(level_name(level)) + ": " + std::string(message) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

bool default_log_enabled(LogLevel level) {
    if (level >= LogLevel::warning) return true;
    std::lock_guard lock(log_sink().mutex);
    return log_sink().handler != nullptr;
}

void write_progress(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

ProgressLine::ProgressLine(std::string label, std::uint64_t total) : label_(std::move(label)), total_(total) {
    show("\r");
}

ProgressLine::~ProgressLine() {
    if (!ended_) write_progress("\n");
}

void ProgressLine::advance(std::uint64_t n) {
    done_ += n;
    if (percent() != shown_percent_) show("\r");
}

void ProgressLine::complete() {
    if (ended_) return;
    show(", done.\n");
    ended_ = true;
}

int ProgressLine::percent() const {
    return static_cast<int>(total_ == 0 ? 100 : std::min<std::uint64_t>(done_ * 100 / total_, 100));
}

void ProgressLine::show(std::string_view end) {
    shown_percent_ = percent();
    write_progress(label_ + ": " + std::to_string(shown_percent_) + "% (" + std::to_string(done_) + " of " +
                   std::to_string(total_) + " bytes)" + std::string(end));
}

void install_log_handler(LogHandler handler) {
    auto next = handler ? std::make_shared<const LogHandler>(std::move(handler)) : nullptr;
    std::lock_guard lock(log_sink().mutex);
    log_sink().handler = std::move(next);
}

}  // namespace zorv_git_gitlab

namespace zorv_git_gitlab::ops {

void print(Context& ctx, std::string_view line) { ctx.print_line(line); }

void print(Context& ctx, std::string_view line, Outcome::Kind outcome) {
    ctx.print_line(line);
    ctx.report(Outcome{outcome, std::string(line)});
}

void fail(Context& ctx, std::string_view message, const rest::Response& response) {
    std::string line(message);
    line += ' ';
    line += response.body();
    ctx.print_line(line);
    ctx.report(Outcome{Outcome::Kind::refused, std::move(line)});
}

}  // namespace zorv_git_gitlab::ops
