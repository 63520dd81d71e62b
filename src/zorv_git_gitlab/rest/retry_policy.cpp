#include "rest/retry_policy.hpp"

#include <algorithm>
#include <random>
#include <string>
#include <thread>

namespace zorv_git_gitlab::rest {
namespace {

class SteadyClock final : public Clock {
public:
    [[nodiscard]] time_point now() const override { return std::chrono::steady_clock::now(); }
    [[nodiscard]] std::chrono::system_clock::time_point wall_now() const override {
        return std::chrono::system_clock::now();
    }
    void sleep_for(std::chrono::milliseconds wait) override { std::this_thread::sleep_for(wait); }
};

// Answers a later GET may find mended.
bool transient_status(long status) { return status == 502 || status == 503 || status == 504; }

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
      idempotent_(idempotent(method)),
      deadline_(clock.now() + settings.retry_total_time) {}

std::chrono::milliseconds RetryPolicy::backoff(int retry) const {
    const auto base = settings_.retry_base_delay * (1LL << std::clamp(retry, 0, 16));
    return std::chrono::milliseconds(static_cast<long long>(static_cast<double>(base.count()) * jitter_()));
}

std::chrono::milliseconds RetryPolicy::time_left() const {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - clock_.now());
    return std::max(left, std::chrono::milliseconds(0));
}

std::optional<std::chrono::milliseconds> RetryPolicy::after_answer(const HttpResponse& response) {
    const auto asked = retry_after(response);
    if (response.status == 429) {
        // Asking sooner than the server said would only meet another 429: the whole wait or none.
        return next(asked.value_or(backoff(tries_ - 1)));
    }
    if (!idempotent_ || !transient_status(response.status)) return std::nullopt;
    return next(asked ? std::min(*asked, settings_.retry_after_cap) : backoff(tries_ - 1));
}

std::optional<std::chrono::milliseconds> RetryPolicy::after_drop() {
    if (!idempotent_) return std::nullopt;
    return next(backoff(tries_ - 1));
}

std::optional<std::chrono::milliseconds> RetryPolicy::next(std::chrono::milliseconds wait) {
    if (tries_ >= settings_.max_tries || clock_.now() + wait > deadline_) return std::nullopt;
    ++tries_;
    return wait;
}

std::optional<std::chrono::milliseconds> retry_after(const HttpResponse& response) {
    const auto seconds = response.number_header("Retry-After");
    if (!seconds) return std::nullopt;
    return std::chrono::seconds(std::min<std::int64_t>(*seconds, 24 * 3600));
}

}  // namespace zorv_git_gitlab::rest
