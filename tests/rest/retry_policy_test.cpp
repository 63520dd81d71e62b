// The request layer's retry, backoff and paging rules through its seam: a scripted transport and a
// fake clock, so every try, wait and page is counted exactly and no test waits for real time. The
// sandbox tests (request_test.cpp, tests/reliability) check the same rules on the wire.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "rest/api.hpp"
#include "zorv_git_gitlab/errors.hpp"

namespace z = zorv_git_gitlab;
namespace rest = zorv_git_gitlab::rest;
using std::chrono::milliseconds;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::Not;

namespace {

constexpr const char* kApi = "https://gitlab.test/api/v4/";

// Time that moves only when the code under test sleeps or a request takes its cost; its calendar time
// starts at kEpoch.
constexpr std::int64_t kEpoch = 1'700'000'000;
class FakeClock : public rest::Clock {
public:
    [[nodiscard]] time_point now() const override { return now_; }
    [[nodiscard]] std::chrono::system_clock::time_point wall_now() const override {
        return std::chrono::sys_seconds(std::chrono::seconds(kEpoch)) + (now_ - time_point{});
    }
    void sleep_for(milliseconds wait) override {
        waits.push_back(wait.count());
        now_ += wait;
    }
    void advance(milliseconds by) { now_ += by; }
    std::vector<long long> waits;

private:
    time_point now_{};
};

// One scripted outcome of a try: an answer, or a failure raised by the transport.
struct Step {
    enum Kind { answer, drop, timeout };
    Step(long status_ = 200, std::string body_ = "[]", std::vector<std::pair<std::string, std::string>> headers_ = {})
        : status(status_), body(std::move(body_)), headers(std::move(headers_)) {}
    static Step failure(Kind kind) {
        Step step;
        step.kind = kind;
        return step;
    }
    long status;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    Kind kind = answer;
};

// Answers each try with the next step (the last one repeats) after `cost` of fake time, and keeps
// every request it was handed.
class ScriptedTransport : public rest::Transport {
public:
    ScriptedTransport(FakeClock& clock, std::vector<Step> steps) : clock_(clock), steps_(steps.begin(), steps.end()) {}
    rest::HttpResponse send(const rest::HttpRequest& request, const z::Settings&) override {
        sent.push_back(request);
        clock_.advance(cost);
        const Step step = steps_.front();
        if (steps_.size() > 1) steps_.pop_front();
        if (step.kind == Step::drop) throw z::ConnectionDroppedError("dropped");
        if (step.kind == Step::timeout) throw z::TimeoutError("timed out");
        return rest::HttpResponse{step.status, step.body, step.headers};
    }
    std::vector<rest::HttpRequest> sent;
    milliseconds cost{10};  // fake time each try takes

private:
    FakeClock& clock_;
    std::deque<Step> steps_;
};

// A context that keeps its log records (DEBUG ones in `records`, INFO ones in `infos`), with the DEBUG
// trace on or off.
class TraceContext : public z::FixedContext {
public:
    TraceContext(z::Settings settings, bool debug)
        : FixedContext(z::Config{kApi, "glpat-SECRET", settings}), debug_(debug) {}
    void log(z::LogLevel level, std::string_view message) override {
        (level == z::LogLevel::debug ? records : infos).emplace_back(message);
    }
    [[nodiscard]] bool log_enabled(z::LogLevel level) const override { return debug_ || level >= z::LogLevel::info; }
    std::vector<std::string> records, infos;

private:
    bool debug_;
};

z::Settings settings(int tries, milliseconds base = milliseconds(100)) {
    z::Settings s;
    s.max_tries = tries;
    s.retry_base_delay = base;
    return s;
}

// An Api over the script, with a jitter that always takes half the backoff (or `jitter`).
struct Harness {
    explicit Harness(std::vector<Step> steps, z::Settings s = settings(4), bool debug = false, double jitter = 0.5)
        : ctx(s, debug), transport(clock, std::move(steps)),
          api(ctx, "test_operation", rest::Wire{transport, clock, [jitter] { return jitter; }}) {}
    [[nodiscard]] std::vector<int> attempts() const {
        std::vector<int> out;
        for (const auto& request : transport.sent) out.push_back(request.attempt);
        return out;
    }
    TraceContext ctx;
    FakeClock clock;
    ScriptedTransport transport;
    rest::Api api;
};

Step with_header(long status, std::string name, std::string value) {
    return Step{status, "{}", {{std::move(name), std::move(value)}}};
}

// Retryable answers and dropped connections are retried with doubling waits until an answer is final
// or the tries run out; other answers and failures end the request at once.
TEST(RetryPolicy, RetriesAreCountedWithDoublingBackoff) {
    {
        Harness h({{503}, {502}, {429}, {504}, {200, R"({"id":1})"}}, settings(5));
        const auto response = h.api.get(rest::Path{"projects", "1"});
        EXPECT_EQ(response.status(), 200);
        EXPECT_THAT(h.attempts(), ElementsAre(1, 2, 3, 4, 5));
        EXPECT_THAT(h.clock.waits, ElementsAre(50, 100, 200, 400));
    }
    {
        Harness h({{503}}, settings(3));
        EXPECT_EQ(h.api.get(rest::Path{"projects"}).status(), 503);  // the last answer, judged as usual
        EXPECT_EQ(h.transport.sent.size(), 3u);
        EXPECT_THAT(h.clock.waits, ElementsAre(50, 100));
    }
    for (const long status : {400L, 401L, 403L, 404L, 409L, 422L, 500L}) {
        Harness h({{status}, {200}});
        EXPECT_EQ(h.api.get(rest::Path{"projects"}).status(), status);
        EXPECT_EQ(h.transport.sent.size(), 1u) << status;
        EXPECT_TRUE(h.clock.waits.empty());
    }
    {
        const Step dropped = Step::failure(Step::drop);
        Harness h({dropped, dropped, {200}});
        EXPECT_EQ(h.api.get(rest::Path{"projects"}).status(), 200);
        EXPECT_THAT(h.clock.waits, ElementsAre(50, 100));
        Harness always({dropped}, settings(3));
        EXPECT_THROW((void)always.api.get(rest::Path{"projects"}), z::ConnectionDroppedError);
        EXPECT_EQ(always.transport.sent.size(), 3u);
    }
    {
        Harness h({Step::failure(Step::timeout), {200}});
        EXPECT_THROW((void)h.api.get(rest::Path{"projects"}), z::TimeoutError);
        EXPECT_EQ(h.transport.sent.size(), 1u);
    }
    // The jitter shortens each wait to between half and all of it.
    Harness full({{503}}, settings(3), false, 0.999);
    (void)full.api.get(rest::Path{"projects"});
    EXPECT_THAT(full.clock.waits, ElementsAre(99, 199));
}

// Retry-After in seconds replaces the backoff, up to retry_after_cap; a date in it is ignored.
TEST(RetryPolicy, RetryAfterIsHonouredUpToTheCap) {
    auto s = settings(2);
    s.retry_after_cap = std::chrono::seconds(5);
    Harness asked({with_header(429, "Retry-After", "2"), {200}}, s);
    EXPECT_EQ(asked.api.get(rest::Path{"projects"}).status(), 200);
    EXPECT_THAT(asked.clock.waits, ElementsAre(2000));

    s.retry_after_cap = milliseconds(300);
    Harness capped({with_header(503, "retry-after", "3600"), {200}}, s);
    EXPECT_EQ(capped.api.get(rest::Path{"projects"}).status(), 200);
    EXPECT_THAT(capped.clock.waits, ElementsAre(300));

    Harness dated({with_header(429, "Retry-After", "Wed, 21 Oct 2015 07:28:00 GMT"), {200}}, s);
    EXPECT_EQ(dated.api.get(rest::Path{"projects"}).status(), 200);
    EXPECT_THAT(dated.clock.waits, ElementsAre(50));
}

// No wait is taken that would pass retry_total_time from the first try, even with tries left.
TEST(RetryPolicy, TotalTimeBoundsTheRetries) {
    auto s = settings(20, milliseconds(200));
    s.retry_total_time = milliseconds(600);
    // Tries cost 10 ms: the first ends at 10, waits 200 (to 210, within 600); the second ends at
    // 220, and its wait of 400 would end at 620.
    Harness h({{503}}, s, false, 1.0);
    EXPECT_EQ(h.api.get(rest::Path{"projects"}).status(), 503);
    EXPECT_EQ(h.transport.sent.size(), 2u);
    EXPECT_THAT(h.clock.waits, ElementsAre(200));
}

// POST, PUT and DELETE go out once whatever else than 429 comes back; a body-less write carries no
// Content-Type.
TEST(RetryPolicy, WritesAreNotRetriedOnOtherFaults) {
    const Step dropped = Step::failure(Step::drop);
    for (const Step& step : {Step{503}, Step{502}, dropped}) {
        Harness h({step}, settings(5));  // the fault on every try
        const auto run = [&](auto&& call) {
            try {
                return call().status();
            } catch (const z::ConnectionDroppedError&) {
                return -1L;
            }
        };
        const long expected = step.kind == Step::drop ? -1 : step.status;
        EXPECT_EQ(run([&] { return h.api.post_query(rest::Path{"projects", "1", "issues"}, {{"title", "t"}}); }), expected);
        EXPECT_EQ(run([&] { return h.api.put_json(rest::Path{"projects", "1"}, z::Json{{"a", 1}}); }), expected);
        EXPECT_EQ(run([&] { return h.api.del(rest::Path{"projects", "1"}); }), expected);
        EXPECT_THAT(h.attempts(), ElementsAre(1, 1, 1));
        EXPECT_TRUE(h.clock.waits.empty());
        EXPECT_THAT(h.transport.sent[0].headers, ElementsAre("PRIVATE-TOKEN: glpat-SECRET"));
        EXPECT_THAT(h.transport.sent[1].headers, ElementsAre("PRIVATE-TOKEN: glpat-SECRET", "Content-Type: application/json"));
    }
}

// A 429 is GitLab refusing before it acts: every method is sent again, after the whole Retry-After
// (never shortened to the cap, which would only meet another 429), else after the backoff.
TEST(RateLimits, TooManyRequestsIsRetriedOnEveryMethodAfterTheWholeRetryAfter) {
    auto s = settings(3);
    s.retry_after_cap = milliseconds(300);
    const Step throttled{429, "Retry later\n", {{"Retry-After", "2"}, {"RateLimit-Name", "throttle_authenticated_api"}}};
    Harness h({throttled, {201, "{}"}, throttled, {200, "{}"}, throttled, {202}, throttled, {200, "[]"}}, s, false);
    EXPECT_EQ(h.api.post_query(rest::Path{"projects", "1", "issues", "2", "notes"}, {{"body", "n"}}).status(), 201);
    EXPECT_EQ(h.api.put_json(rest::Path{"projects", "1"}, z::Json{{"a", 1}}).status(), 200);
    EXPECT_EQ(h.api.del(rest::Path{"projects", "1"}).status(), 202);
    EXPECT_EQ(h.api.get(rest::Path{"projects"}).status(), 200);
    EXPECT_THAT(h.attempts(), ElementsAre(1, 2, 1, 2, 1, 2, 1, 2));
    EXPECT_THAT(h.clock.waits, ElementsAre(2000, 2000, 2000, 2000));
    // Each wait of more than a second is logged at INFO, naming the request and the throttle.
    ASSERT_EQ(h.ctx.infos.size(), 4u);
    EXPECT_EQ(h.ctx.infos[0], "test_operation: POST /api/v4/projects/1/issues/2/notes answered 429 "
                              "(throttle_authenticated_api); trying again in 2.0 seconds");

    Harness unsaid({{429, "{}"}, {201, "{}"}}, settings(3));
    EXPECT_EQ(unsaid.api.post_json(rest::Path{"projects"}, z::Json{{"name", "x"}}).status(), 201);
    EXPECT_THAT(unsaid.clock.waits, ElementsAre(50));  // no Retry-After: the backoff
}

// A request still throttled when its tries or its time run out raises RateLimitedError, in the lookups
// too (never an answer to read as "not found"), naming the operation, method and path (not the query,
// never the token) and carrying what the server asked; a wait longer than what is left of
// retry_total_time is not taken at all.
TEST(RateLimits, StillThrottledAtTheEndRaisesRateLimitedError) {
    const auto error_of = [](auto&& call) -> std::optional<z::RateLimitedError> {
        try {
            call();
        } catch (const z::RateLimitedError& e) {
            return e;
        }
        return std::nullopt;
    };
    {
        Harness h({{429, "Retry later\n", {{"Retry-After", "540"}, {"RateLimit-Name", "throttle_authenticated_api"}}}});
        const auto error = error_of([&] { (void)h.api.get(rest::Path{"projects"}, {{"search", "app"}}); });
        ASSERT_TRUE(error);
        EXPECT_EQ(h.transport.sent.size(), 1u);
        EXPECT_TRUE(h.clock.waits.empty());
        EXPECT_EQ(error->retry_after(), 540);
        EXPECT_EQ(error->limit_name(), "throttle_authenticated_api");
        EXPECT_STREQ(error->what(), "test_operation: GET /api/v4/projects was refused with 429 Too Many Requests by "
                                    "throttle_authenticated_api; the server asked to wait 540 s, more than the 59 s "
                                    "left of retry_total_time");
    }
    {
        const std::string json = R"({"message":{"error":"This endpoint has been requested too many times. Try again later."}})";
        Harness h({{429, json, {{"Retry-After", "1"}}}}, settings(3));
        const auto error = error_of([&] { (void)h.api.post_query(rest::Path{"projects", "1", "issues"}, {{"title", "t"}}); });
        ASSERT_TRUE(error);
        EXPECT_EQ(h.transport.sent.size(), 3u);
        EXPECT_THAT(h.clock.waits, ElementsAre(1000, 1000));
        EXPECT_EQ(error->limit_name(), "");
        EXPECT_THAT(error->what(), HasSubstr("POST /api/v4/projects/1/issues was refused with 429 Too Many Requests; "
                                             "still refused after 3 tries"));
        EXPECT_THAT(error->what(), Not(HasSubstr("SECRET")));
    }
    {
        // Searches and listings raise too, on any page.
        Harness find({{200, "[1]", {{"X-Next-Page", "2"}}}, {429, "Retry later\n", {{"Retry-After", "90"}}}});
        EXPECT_THROW((void)find.api.find(rest::Path{"projects"}, {}, [](const z::Json&) { return false; }),
                     z::RateLimitedError);
        Harness all({{429, "Retry later\n", {{"Retry-After", "90"}}}});
        EXPECT_THROW((void)all.api.get_all(rest::Path{"projects", "1", "repository", "tags"}), z::RateLimitedError);
    }
}

std::vector<std::pair<std::string, std::string>> budget(long remaining, std::int64_t reset_in) {
    return {{"RateLimit-Remaining", std::to_string(remaining)}, {"RateLimit-Reset", std::to_string(kEpoch + reset_in)}};
}

// Once an answer says the server's budget is spent, the context's next request waits for its reset
// (logged at INFO), whichever Api of the context sends it; a reset farther away than retry_total_time
// is not waited for (the server then answers with its own Retry-After).
TEST(Pacing, WaitsForTheServersBudgetToReset) {
    Harness h({{200, "[]", budget(1, 5)}, {200, "[]", budget(0, 5)}, {200, "[]", budget(99, 10)}});
    (void)h.api.get(rest::Path{"projects"});
    (void)h.api.get(rest::Path{"projects"});
    EXPECT_TRUE(h.clock.waits.empty());
    rest::Api other(h.ctx, "other_operation", rest::Wire{h.transport, h.clock, [] { return 0.5; }});
    (void)other.get(rest::Path{"groups"});
    EXPECT_THAT(h.clock.waits, ElementsAre(4980));  // two tries of 10 ms passed since the first answer
    EXPECT_THAT(h.ctx.infos, ElementsAre("other_operation: waiting 5.0 seconds until the server's rate limit resets "
                                         "before GET /api/v4/groups"));
    (void)h.api.get(rest::Path{"projects"});  // a new window with budget left
    EXPECT_EQ(h.clock.waits.size(), 1u);

    auto s = settings(4);
    s.retry_total_time = std::chrono::seconds(60);
    Harness far({{200, "[]", budget(0, 3600)}}, s);
    (void)far.api.get(rest::Path{"projects"});
    (void)far.api.get(rest::Path{"projects"});
    EXPECT_TRUE(far.clock.waits.empty());
}

// max_requests_per_second spaces the context's requests evenly; 0 leaves them unpaced.
TEST(Pacing, FixedRateSpacesRequestsEvenly) {
    auto s = settings(4);
    s.max_requests_per_second = 4;
    Harness h({Step{200}}, s);
    for (int i = 0; i < 4; ++i) (void)h.api.get(rest::Path{"projects"});
    EXPECT_THAT(h.clock.waits, ElementsAre(240, 240, 240));  // 250 ms apart; each try takes 10 ms
    Harness unpaced({Step{200}});
    for (int i = 0; i < 4; ++i) (void)unpaced.api.get(rest::Path{"projects"});
    EXPECT_TRUE(unpaced.clock.waits.empty());
}

// Pages follow X-Next-Page, else Link rel="next" below the API root, and stop at a page named twice.
TEST(Paging, FollowsNextPageAndLinkAndStopsOnARepeatedPage) {
    const std::string first = std::string(kApi) + "projects/7/repository/tags?per_page=100";
    {
        std::vector<Step> pages = {{200, "[1,2]", {{"X-Next-Page", "2"}}}, {200, "[3]", {{"X-Next-Page", ""}}}};
        Harness h(pages);
        EXPECT_EQ(h.api.get_all(rest::Path{"projects", "7", "repository", "tags"}), z::Json::parse("[1,2,3]"));
        ASSERT_EQ(h.transport.sent.size(), 2u);
        EXPECT_EQ(h.transport.sent[0].url, first);
        EXPECT_EQ(h.transport.sent[1].url, first + "&page=2");
    }
    {
        const std::string next = std::string(kApi) + "projects/7/repository/tags?page=2&per_page=100";
        std::vector<Step> pages = {{200, "[1]", {{"Link", "<" + next + ">; rel=\"next\", <x>; rel=\"last\""}}}, {200, "[2]"}};
        Harness h(pages);
        EXPECT_EQ(h.api.get_all(rest::Path{"projects", "7", "repository", "tags"}), z::Json::parse("[1,2]"));
        ASSERT_EQ(h.transport.sent.size(), 2u);
        EXPECT_EQ(h.transport.sent[1].url, next);
    }
    {
        // A next page on another server is not followed (the token would go with it).
        std::vector<Step> pages = {{200, "[1]", {{"Link", "<https://elsewhere.test/api/v4/tags?page=2>; rel=\"next\""}}}};
        Harness h(pages);
        EXPECT_EQ(h.api.get_all(rest::Path{"projects", "7", "repository", "tags"}), z::Json::parse("[1]"));
        EXPECT_EQ(h.transport.sent.size(), 1u);
    }
    {
        // A server that names page 2 as its own next page is read once more, not forever.
        std::vector<Step> pages = {{200, "[1]", {{"X-Next-Page", "2"}}}, {200, "[2]", {{"X-Next-Page", "2"}}}};
        Harness h(pages);
        EXPECT_EQ(h.api.get_all(rest::Path{"projects", "7", "repository", "tags"}), z::Json::parse("[1,2]"));
        EXPECT_EQ(h.transport.sent.size(), 2u);
    }
    {
        // find reads no page past the match; a refused page ends it with no value.
        std::vector<Step> pages = {{200, "[1,2]", {{"X-Next-Page", "2"}}}, {200, "[3,4]", {{"X-Next-Page", "3"}}}, {404}};
        Harness h(pages);
        const auto found = h.api.find(rest::Path{"projects"}, {}, [](const z::Json& item) { return item == 3; });
        EXPECT_EQ(found, z::Json(3));
        EXPECT_EQ(h.transport.sent.size(), 2u);
        Harness refused({{200, "[1]", {{"X-Next-Page", "2"}}}, {404, "{}"}});
        EXPECT_FALSE(refused.api.find(rest::Path{"projects"}, {}, [](const z::Json&) { return false; }));
        EXPECT_FALSE(refused.api.get_all(rest::Path{"projects"}));
    }
}

// With DEBUG on, every try leaves one record: method, path and query, status (or the failure),
// milliseconds and the try's number; never the token. With DEBUG off, none is built.
TEST(RequestTrace, OneDebugRecordPerTryWithoutTheToken) {
    const Step dropped = Step::failure(Step::drop);
    Harness h({{503}, dropped, {200}}, settings(4), true);
    (void)h.api.get(rest::Path{"projects"}, {{"search", "app x"}});
    EXPECT_THAT(h.ctx.records, ElementsAre("GET /api/v4/projects?search=app+x -> 503, 10 ms, attempt 1",
                                           "GET /api/v4/projects?search=app+x -> no answer: dropped, 10 ms, attempt 2",
                                           "GET /api/v4/projects?search=app+x -> 200, 10 ms, attempt 3"));
    for (const auto& record : h.ctx.records) EXPECT_THAT(record, Not(HasSubstr("SECRET")));

    Harness quiet({{503}, {200}}, settings(4), false);
    (void)quiet.api.get(rest::Path{"projects"});
    EXPECT_EQ(quiet.transport.sent.size(), 2u);
    EXPECT_TRUE(quiet.ctx.records.empty());
}

}  // namespace
