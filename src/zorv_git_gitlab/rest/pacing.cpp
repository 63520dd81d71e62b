#include "rest/pacing.hpp"

#include <algorithm>

namespace zorv_git_gitlab {

Pacing::Pacing() : state_(std::make_unique<State>()) {}
Pacing::~Pacing() = default;

Pacing::State::Turn Pacing::State::take_turn(const Settings& settings, rest::Clock& clock) {
    Turn turn;
    turn.seq = turns_.fetch_add(1, std::memory_order_relaxed) + 1;
    const double rate = settings.max_requests_per_second;
    if (rate <= 0 && !active_.load(std::memory_order_acquire)) return turn;  // nothing known, nothing to keep

    std::lock_guard lock(mutex_);
    const auto now = clock.now();
    auto go = now;
    if (left_) {
        if (now >= reset_at_) {
            left_.reset();  // a new window: its budget is not known until an answer tells it
        } else if (*left_ <= 0) {
            go = reset_at_;
            turn.reason = Reason::budget;
        } else {
            --*left_;
        }
    }
    if (rate > 0) {
        active_.store(true, std::memory_order_release);
        const auto interval = std::chrono::duration_cast<rest::Clock::time_point::duration>(std::chrono::duration<double>(1.0 / rate));
        if (next_slot_ > go) {
            go = next_slot_;
            if (turn.reason == Reason::none) turn.reason = Reason::spacing;
        }
        next_slot_ = go + interval;
    }
    turn.wait = std::chrono::ceil<std::chrono::milliseconds>(go - now);
    return turn;
}

void Pacing::State::observe(const Turn& turn, const rest::HttpResponse& response, const Settings& settings,
                            rest::Clock& clock) {
    const auto remaining = response.number_header("RateLimit-Remaining");
    const auto reset = response.number_header("RateLimit-Reset");
    if (!remaining || !reset) return;
    const auto until = std::chrono::sys_seconds(std::chrono::seconds(*reset)) - clock.wall_now();
    if (until <= rest::Clock::time_point::duration::zero() || until > settings.retry_total_time) return;

    // Turns given after this one went out may not have been counted by the server yet.
    const auto since = static_cast<std::int64_t>(turns_.load(std::memory_order_relaxed) - turn.seq);
    const std::int64_t estimate = *remaining - since;
    std::lock_guard lock(mutex_);
    if (!left_ || *reset > reset_epoch_) {
        left_ = estimate;
        reset_epoch_ = *reset;
        reset_at_ = clock.now() + std::chrono::duration_cast<rest::Clock::time_point::duration>(until);
    } else if (*reset == reset_epoch_) {
        left_ = std::min(*left_, estimate);
    }  // news of a window already over: nothing to learn
    active_.store(true, std::memory_order_release);
}

}  // namespace zorv_git_gitlab
