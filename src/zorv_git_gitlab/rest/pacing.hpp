// What a context's Pacing holds: the next free slot of the even spacing (max_requests_per_second) and
// the server's budget as its answers last told it (RateLimit-Remaining until RateLimit-Reset). Each try
// of a request takes a turn before it goes out and hands its answer back; every thread of the context
// goes through the same State.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

#include "rest/retry_policy.hpp"
#include "rest/transport.hpp"
#include "zorv_git_gitlab/pacing.hpp"

namespace zorv_git_gitlab {

class Pacing::State {
public:
    // Why a turn waits: the even spacing, or the server's budget spent until its reset.
    enum class Reason { none, spacing, budget };
    struct Turn {
        std::chrono::milliseconds wait{0};
        Reason reason = Reason::none;
        std::uint64_t seq = 0;  // the order in which turns were given
    };

    // Reserves the next turn as of now: how long the try waits before it goes out.
    Turn take_turn(const Settings& settings, rest::Clock& clock);
    // Notes what the answer to the try of `turn` says of the server's budget. A budget that resets
    // later than retry_total_time from now is not waited for: the server then refuses the request
    // with its own Retry-After, and the request layer judges that.
    void observe(const Turn& turn, const rest::HttpResponse& response, const Settings& settings, rest::Clock& clock);

private:
    std::mutex mutex_;
    std::atomic<bool> active_{false};  // a budget is known or spacing was used: turns need the lock
    std::atomic<std::uint64_t> turns_{0};
    rest::Clock::time_point next_slot_{};
    // The server's budget: requests left (less the turns given since the answer that said so, which the
    // server may not have counted yet), and when and at which RateLimit-Reset its window ends.
    std::optional<std::int64_t> left_;
    rest::Clock::time_point reset_at_{};
    std::int64_t reset_epoch_ = 0;
};

}  // namespace zorv_git_gitlab
