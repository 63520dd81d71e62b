// Limits set by name, as the Python class attributes and the command-line options give them: one
// conversion, one rounding rule.
#include <gtest/gtest.h>

#include <stdexcept>

#include "zorv_git_gitlab/context.hpp"

namespace z = zorv_git_gitlab;
using namespace std::chrono_literals;

TEST(Settings, DurationsRoundToTheNearestMillisecondThenUpToTheirUnit) {
    z::Settings s;
    z::set_setting(s, "stall_timeout", 1.4);
    EXPECT_EQ(s.stall_timeout, 2s);  // a started second counts whole
    z::set_setting(s, "stall_timeout", 1.0);
    EXPECT_EQ(s.stall_timeout, 1s);
    z::set_setting(s, "stall_timeout", 0);
    EXPECT_EQ(s.stall_timeout, 1s);
    z::set_setting(s, "connect_timeout", 2.5);
    EXPECT_EQ(s.connect_timeout, 2500ms);
    z::set_setting(s, "merge_poll_interval", 0.0004);
    EXPECT_EQ(s.merge_poll_interval, 1ms);
    z::set_setting(s, "retry_total_time", 1.1);
    EXPECT_EQ(s.retry_total_time, 1100ms);
    z::set_setting(s, "max_tries", 0);
    EXPECT_EQ(s.max_tries, 1);
    z::set_setting(s, "max_response_bytes", 4096);
    EXPECT_EQ(s.max_response_bytes, 4096u);
    z::set_setting(s, "max_requests_per_second", 2.5);  // a rate is kept as given; 0 is unlimited
    EXPECT_EQ(s.max_requests_per_second, 2.5);
    z::set_setting(s, "max_requests_per_second", 0);
    EXPECT_EQ(s.max_requests_per_second, 0.0);
    EXPECT_THROW(z::set_setting(s, "stall_time", 1), std::invalid_argument);
    EXPECT_THROW(z::set_setting(s, "connect_timeout", -1), std::invalid_argument);
}

TEST(Redact, EveryOccurrenceOfEverySecret) {
    EXPECT_EQ(z::redact("a tok b tok", {"tok", ""}), "a [REDACTED] b [REDACTED]");
    EXPECT_EQ(z::redact("no secret here", {}), "no secret here");
}
