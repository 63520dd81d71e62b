// Helpers shared by the reliability tests: a context that keeps what operations print, temporary
// directories, git in a working copy, reading the sandbox's journal, and naming a caught error.
#pragma once

#include <gtest/gtest.h>

#include <zorv_git/process.hpp>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sandbox_fixture.hpp"
#include "test_helpers.hpp"
#include "zorv_git_gitlab/errors.hpp"
#include "zorv_git_gitlab/operations.hpp"

namespace zorv_rel {

using zorv_git_gitlab::Json;
using Clock = std::chrono::steady_clock;

// Limits small enough that a fault costs a test little time.
inline zorv_git_gitlab::Settings quick_settings() {
    zorv_git_gitlab::Settings s;
    s.connect_timeout = std::chrono::seconds(3);
    s.stall_timeout = std::chrono::seconds(1);
    s.max_response_bytes = std::size_t{4} << 20;
    s.max_tries = 3;
    s.retry_base_delay = std::chrono::milliseconds(10);
    s.retry_after_cap = std::chrono::milliseconds(50);
    s.retry_total_time = std::chrono::seconds(5);
    s.merge_poll_interval = std::chrono::milliseconds(50);
    return s;
}

// The sandbox's address and administrator token with the given limits; the lines and log records of
// the operations are kept instead of printed.
class RecordingContext : public zorv_git_gitlab::FixedContext {
public:
    explicit RecordingContext(zorv_git_gitlab::Settings settings = quick_settings())
        : FixedContext(zorv_git_gitlab::Config{zorv_test::sandbox().api_url(), zorv_test::sandbox().token(),
                                               settings}) {}

    void print_line(std::string_view line) override {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(line);
    }
    void log(zorv_git_gitlab::LogLevel, std::string_view message) override {
        std::lock_guard lock(mutex_);
        records_.emplace_back(message);
    }
    // The lines printed since the last call.
    std::vector<std::string> take_lines() {
        std::lock_guard lock(mutex_);
        return std::exchange(lines_, {});
    }
    std::vector<std::string> take_records() {
        std::lock_guard lock(mutex_);
        return std::exchange(records_, {});
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
    std::vector<std::string> records_;
};

using zorv_test::TempDir;

// git in a working copy; the test fails when git does.
inline std::string git(const std::filesystem::path& dir, std::vector<std::string> args, bool check = true) {
    args.insert(args.begin(), {"git", "-C", dir.string()});
    zorv_git::process::Options options;
    options.env = {{"GIT_TERMINAL_PROMPT", "0"}};
    const auto result = zorv_git::process::run(args, options);
    if (check && !result.ok()) ADD_FAILURE() << "git " << args[3] << " failed: " << result.err;
    return result.out;
}

inline void write_file(const std::filesystem::path& path, std::string_view content) {
    std::filesystem::create_directories(path.parent_path());
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    std::fwrite(content.data(), 1, content.size(), file);
    std::fclose(file);
}

inline std::string read_file(const std::filesystem::path& path) {
    std::string out;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return "<missing>";
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) out.append(buffer, n);
    std::fclose(file);
    return out;
}

// '%XX' decoding of a path segment; '+' stays '+'.
inline std::string percent_decode(std::string_view text, bool plus_is_space = false) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else if (plus_is_space && text[i] == '+') {
            out += ' ';
        } else {
            out += text[i];
        }
    }
    return out;
}

// The raw path's segments after /api/v4/, each decoded.
inline std::vector<std::string> api_segments(const std::string& raw_path) {
    std::vector<std::string> out;
    std::string_view rest(raw_path);
    constexpr std::string_view kRoot = "/api/v4/";
    if (!rest.starts_with(kRoot)) return {"<not below /api/v4/: " + raw_path + ">"};
    rest.remove_prefix(kRoot.size());
    while (true) {
        const auto slash = rest.find('/');
        out.push_back(percent_decode(rest.substr(0, slash)));
        if (slash == std::string_view::npos) break;
        rest.remove_prefix(slash + 1);
    }
    return out;
}

// The form-decoded pairs of a query string or form body.
inline std::vector<std::pair<std::string, std::string>> form_pairs(std::string_view text) {
    std::vector<std::pair<std::string, std::string>> out;
    while (!text.empty()) {
        const auto amp = text.find('&');
        const std::string_view pair = text.substr(0, amp);
        const auto eq = pair.find('=');
        out.emplace_back(percent_decode(pair.substr(0, eq), true),
                         eq == std::string_view::npos ? std::string() : percent_decode(pair.substr(eq + 1), true));
        if (amp == std::string_view::npos) break;
        text.remove_prefix(amp + 1);
    }
    return out;
}

inline std::optional<std::string> form_value(std::string_view text, std::string_view key) {
    for (auto& [k, v] : form_pairs(text)) {
        if (k == key) return v;
    }
    return std::nullopt;
}

// Journal entries of one method whose raw path matches `pattern`.
inline std::vector<Json> requests(const Json& journal, std::string_view method, const std::string& pattern) {
    std::vector<Json> out;
    const std::regex re(pattern);
    for (const auto& entry : journal) {
        if (entry.value("method", "") == method && std::regex_search(entry.value("path", ""), re)) {
            out.push_back(entry);
        }
    }
    return out;
}

// The library error type of the exception being handled, most derived first; foreign ones by message.
inline std::string error_kind(const std::exception_ptr& error) {
    using namespace zorv_git_gitlab;
    try {
        std::rethrow_exception(error);
    } catch (const TlsError&) {
        return "TlsError";
    } catch (const TimeoutError&) {
        return "TimeoutError";
    } catch (const ConnectionDroppedError&) {
        return "ConnectionDroppedError";
    } catch (const ResponseTooLargeError&) {
        return "ResponseTooLargeError";
    } catch (const ConnectError&) {
        return "ConnectError";
    } catch (const RateLimitedError&) {
        return "RateLimitedError";
    } catch (const TransportError&) {
        return "TransportError";
    } catch (const JsonDecodeError&) {
        return "JsonDecodeError";
    } catch (const MissingFieldError&) {
        return "MissingFieldError";
    } catch (const ProjectNotFoundError&) {
        return "ProjectNotFoundError";
    } catch (const GitError&) {
        return "GitError";
    } catch (const MergeTimeoutError&) {
        return "MergeTimeoutError";
    } catch (const Error& e) {
        return std::string("Error: ") + e.what();
    } catch (const std::exception& e) {
        return std::string("foreign exception: ") + e.what();
    } catch (...) {
        return "foreign exception";
    }
}

// The message of the exception being handled.
inline std::string error_message(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return {};
    }
}

// Creates a group below the root; its id.
inline std::int64_t make_group(const std::string& path) {
    const auto reply = zorv_test::sandbox().api("POST", "groups", {{"name", path}, {"path", path}});
    if (reply.status != 201) throw std::runtime_error("cannot create group " + path + ": " + reply.body);
    return reply.json["id"].get<std::int64_t>();
}

// Creates the project with its README through the library; its id.
inline std::int64_t make_project(zorv_git_gitlab::Context& ctx, const std::string& name, std::int64_t group) {
    zorv_git_gitlab::ops::create_project(ctx, name, group);
    const auto record = zorv_git_gitlab::ops::get_project_info(ctx, name, group);
    if (!record) throw std::runtime_error("project " + name + " was not created");
    return (*record)["id"].get<std::int64_t>();
}

}  // namespace zorv_rel
