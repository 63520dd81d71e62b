// The limits and policies of the request layer, and the list that gives the faces (Python class
// attributes, command-line options) the ones they set by name.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <string_view>
#include <variant>

#include "zorv_git_gitlab/export.hpp"

namespace zorv_git_gitlab {

// Every request reads them from its context. The defaults stand here and nowhere else.
struct Settings {
    // Time allowed to establish a connection (TCP and TLS).
    std::chrono::milliseconds connect_timeout{std::chrono::seconds(30)};
    // A transfer slower than stall_bytes_per_second for stall_timeout is abandoned.
    std::chrono::seconds stall_timeout{120};
    long stall_bytes_per_second = 1;
    // Largest answer body accepted; a larger one ends the request with ResponseTooLargeError.
    std::size_t max_response_bytes = std::size_t{256} << 20;
    // A request answered 429 Too Many Requests is sent again whatever its method (GitLab refused it
    // before acting on it), after the server's Retry-After (else the backoff below), as long as that
    // wait ends within retry_total_time; when it would not, or no try is left, the request raises
    // RateLimitedError. GET requests are also retried on 502, 503, 504 and dropped connections, waiting
    // retry_base_delay * 2^n with jitter, or the server's Retry-After up to retry_after_cap; POST, PUT
    // and DELETE are never sent twice for those. At most max_tries attempts in all.
    int max_tries = 4;
    std::chrono::milliseconds retry_total_time{std::chrono::seconds(60)};
    std::chrono::milliseconds retry_base_delay{500};
    std::chrono::milliseconds retry_after_cap{std::chrono::seconds(30)};
    // Interval between the polls of perform_merge's wait for the merge check.
    std::chrono::milliseconds merge_poll_interval{std::chrono::seconds(5)};
    // The requests of one context are spaced evenly to at most this many a second; 0: unlimited.
    // (Independently, a context waits for the server's budget to reset once an answer's
    // RateLimit-Remaining says it is spent.)
    double max_requests_per_second = 0;
};

// A setting the faces give by name, as a number in the unit of its field: seconds for durations
// (milliseconds kept; a field in whole seconds counts a started second whole), a whole number of at
// least 1 for counts, bytes for sizes, never below one unit; a rate per second as given (0: unlimited).
struct SettingDescriptor {
    using Field = std::variant<std::chrono::milliseconds Settings::*, std::chrono::seconds Settings::*,
                               int Settings::*, std::size_t Settings::*, double Settings::*>;

    std::string_view name;  // the Python class attribute; the command-line option is --name with dashes
    Field field;
    std::string_view help;  // one line, for the option's help and the stubs
};

// What a face shows of a descriptor's number.
enum class SettingKind { seconds, count, bytes, rate };

inline constexpr std::array kSettings{
    SettingDescriptor{"connect_timeout", &Settings::connect_timeout, "seconds allowed to connect to the server"},
    SettingDescriptor{"stall_timeout", &Settings::stall_timeout,
                      "seconds a transfer may stall before it is abandoned (whole seconds)"},
    SettingDescriptor{"max_tries", &Settings::max_tries,
                      "attempts of a request answered 429, or of a GET answered 502/503/504 or dropped"},
    SettingDescriptor{"retry_total_time", &Settings::retry_total_time, "seconds all attempts of a request may take"},
    SettingDescriptor{"merge_poll_interval", &Settings::merge_poll_interval,
                      "seconds between perform_merge's polls of the merge check"},
    SettingDescriptor{"max_response_bytes", &Settings::max_response_bytes, "largest answer accepted, in bytes"},
    SettingDescriptor{"max_requests_per_second", &Settings::max_requests_per_second,
                      "requests a second at most, spaced evenly (0: unlimited)"},
};

[[nodiscard]] constexpr SettingKind kind_of(const SettingDescriptor& setting) noexcept {
    switch (setting.field.index()) {
    case 0:
    case 1:
        return SettingKind::seconds;
    case 2:
        return SettingKind::count;
    case 3:
        return SettingKind::bytes;
    default:
        return SettingKind::rate;
    }
}

// The descriptor named `name`, or nullptr.
[[nodiscard]] constexpr const SettingDescriptor* find_setting(std::string_view name) noexcept {
    for (const auto& setting : kSettings) {
        if (setting.name == name) return &setting;
    }
    return nullptr;
}

// The setting's value in its face unit (seconds, a count, bytes).
[[nodiscard]] ZORV_GIT_GITLAB_API double setting_value(const Settings& settings, const SettingDescriptor& setting);

// Sets the setting from `value` in its face unit: durations are taken to the nearest millisecond, then
// rounded up to the unit of the field, never below one unit; counts are at least 1; rates as given.
// std::invalid_argument for a negative or non-finite value.
ZORV_GIT_GITLAB_API void set_setting(Settings& settings, const SettingDescriptor& setting, double value);
// The same by name; std::invalid_argument also for a name no descriptor has.
ZORV_GIT_GITLAB_API void set_setting(Settings& settings, std::string_view name, double value);

}  // namespace zorv_git_gitlab
