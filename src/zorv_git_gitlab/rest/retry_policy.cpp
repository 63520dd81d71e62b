#include "rest/retry_policy.hpp"

#include <algorithm>
#include <cctype>
#include <random>
#include <string>
#include <thread>

namespace zorv_git_gitlab::rest {
namespace {

class SteadyClock final : public Clock {
public:
    [[nodiscard]] time_point now() const override { return std::chrono::steady_clock::now(); }
    void sleep_for(std::chrono::milliseconds wait) override { std::this_thread::sleep_for(wait); }
};

bool retryable_status(long status) { return status == 429 || status == 502 || status == 503 || status == 504; }

}  // namespace

Clock& steady_clock() {
    static SteadyClock clock;  // stateless
    return clock;
}

double random_jitter() {
    thread_local std::minstd_rand engine{std::random_device{}()};
    std::uniform_real_distribution<double> factor(0.5, 1.0);
    return factor(engine);
}

bool idempotent(Method method) noexcept { return method == Method::get; }

RetryPolicy::RetryPolicy(const Settings& settings, Method method, Clock& clock, Jitter jitter)
    : settings_(settings),
      clock_(clock),
      jitter_(std::move(jitter)),
      may_retry_(idempotent(method)),
      deadline_(clock.now() + settings.retry_total_time) {}

std::chrono::milliseconds RetryPolicy::backoff(int retry) const {
    const auto base = settings_.retry_base_delay * (1LL << std::clamp(retry, 0, 16));
    return std::chrono::milliseconds(static_cast<long long>(static_cast<double>(base.count()) * jitter_()));
}

std::optional<std::chrono::milliseconds> RetryPolicy::after_answer(const HttpResponse& response) {
    if (!retryable_status(response.status)) return std::nullopt;
    auto wait = backoff(tries_ - 1);
    if (const auto asked = retry_after(response)) wait = std::min(*asked, settings_.retry_after_cap);
    return next(wait);
}

std::optional<std::chrono::milliseconds> RetryPolicy::after_drop() { return next(backoff(tries_ - 1)); }

std::optional<std::chrono::milliseconds> RetryPolicy::next(std::chrono::milliseconds wait) {
    if (!may_retry_ || tries_ >= settings_.max_tries || clock_.now() + wait > deadline_) return std::nullopt;
    ++tries_;
    return wait;
}

std::optional<std::chrono::milliseconds> retry_after(const HttpResponse& response) {
    const auto value = response.header("Retry-After");
    if (!value || value->empty() || !std::all_of(value->begin(), value->end(), [](unsigned char c) {
            return std::isdigit(c) != 0;
        })) {
        return std::nullopt;
    }
    if (value->size() > 6) return std::chrono::hours(24);
    return std::chrono::seconds(std::stol(*value));
}

}  // namespace zorv_git_gitlab::rest
