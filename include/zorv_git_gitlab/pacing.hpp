// The pace at which the requests of one context go out: evenly spaced when max_requests_per_second is
// set, and held back until the server's budget resets once an answer's RateLimit-Remaining says it is
// spent. A Context owns one (Context::pacing), shared by every thread that calls through it; the
// request layer alone reads and changes what it holds.
#pragma once

#include <memory>

#include "zorv_git_gitlab/export.hpp"

namespace zorv_git_gitlab {

class ZORV_GIT_GITLAB_API Pacing {
public:
    Pacing();
    ~Pacing();
    Pacing(const Pacing&) = delete;
    Pacing& operator=(const Pacing&) = delete;

    // What the request layer keeps here (defined there; thread-safe).
    class State;
    [[nodiscard]] State& state() noexcept { return *state_; }

private:
    std::unique_ptr<State> state_;
};

}  // namespace zorv_git_gitlab
