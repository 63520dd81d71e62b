// When a request is sent again and how long to wait before it: a 429 (the server refused before acting)
// for every method, after the server's Retry-After; other answers and failures that a later try may
// mend for idempotent requests (GET) only, with exponential backoff and jitter or Retry-After up to a
// cap; all within a number of tries and a total time. Time comes from a Clock, so that tests can run
// the rules with a fake one.
#pragma once

#include <chrono>
#include <functional>
#include <optional>

#include "rest/transport.hpp"

namespace zorv_git_gitlab::rest {

// The time the retry loop reads and waits on.
class Clock {
public:
    using time_point = std::chrono::steady_clock::time_point;
    virtual ~Clock() = default;
    [[nodiscard]] virtual time_point now() const = 0;
    // Calendar time, to read the server's times (RateLimit-Reset).
    [[nodiscard]] virtual std::chrono::system_clock::time_point wall_now() const = 0;
    virtual void sleep_for(std::chrono::milliseconds wait) = 0;
};

// std::chrono::steady_clock and std::this_thread::sleep_for.
Clock& steady_clock();

// A factor in [0.5, 1) by which a backoff delay is shortened; random by default.
using Jitter = std::function<double()>;
double random_jitter();

// Whether a request may be sent again without the server acting on it twice.
bool idempotent(Method method) noexcept;

// The retry rules of one request, from the first try to the last. Not shared between threads.
class RetryPolicy {
public:
    // The total time budget starts now.
    RetryPolicy(const Settings& settings, Method method, Clock& clock, Jitter jitter = random_jitter);

    // After a try ended with this answer: the wait before the next try, or no value when the answer
    // is final (not retryable, the request is not idempotent, no try or time left). A 429 is retried
    // after its whole Retry-After or not at all.
    std::optional<std::chrono::milliseconds> after_answer(const HttpResponse& response);
    // After a try ended with a dropped connection (ConnectionDroppedError): as above.
    std::optional<std::chrono::milliseconds> after_drop();

    // retry_base_delay * 2^retry, times the jitter; `retry` counts from 0.
    [[nodiscard]] std::chrono::milliseconds backoff(int retry) const;

    // The tries made so far, and what is left of retry_total_time.
    [[nodiscard]] int tries() const noexcept { return tries_; }
    [[nodiscard]] std::chrono::milliseconds time_left() const;

private:
    std::optional<std::chrono::milliseconds> next(std::chrono::milliseconds wait);

    Settings settings_;
    Clock& clock_;
    Jitter jitter_;
    bool idempotent_;
    int tries_ = 1;  // the try that just ended
    Clock::time_point deadline_;
};

// The Retry-After header's delay when it holds a number of seconds; a date or anything else gives none.
std::optional<std::chrono::milliseconds> retry_after(const HttpResponse& response);

}  // namespace zorv_git_gitlab::rest
