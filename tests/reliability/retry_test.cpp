// Retries, counted in the sandbox's journal: GET is retried on 502, 503, 504 (after Retry-After, up to
// a cap) and broken connections, with exponential backoff and jitter, within a number of tries and a
// total time; POST, PUT and DELETE go out exactly once for those. A 429 is retried on every method, and
// one the retries do not overcome raises RateLimitedError.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "helpers.hpp"

namespace {

using namespace zorv_rel;
namespace ops = zorv_git_gitlab::ops;
using std::chrono::milliseconds;

class Retries : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        RecordingContext ctx;
        group_ = make_group("rel-retries");
        project_ = make_project(ctx, "retries", group_);
        if (!ops::create_branch(ctx, "retries", group_, "doomed")) throw std::runtime_error("no branch doomed");
        const auto issue = ops::create_issue(ctx, "retries", group_, "open", "issue");
        if (!issue) throw std::runtime_error("no issue");
        issue_ = (*issue)["iid"].get<std::int64_t>();
    }
    void SetUp() override {
        zorv_test::sandbox().clear_faults();
        zorv_test::sandbox().clear_journal();
    }
    void TearDown() override { zorv_test::sandbox().clear_faults(); }

    static std::string projects() { return "^/api/v4/projects/" + std::to_string(project_); }
    static std::size_t count(const std::string& method, const std::string& path) {
        return requests(zorv_test::sandbox().journal(), method, path).size();
    }
    static void fault(const std::string& method, const std::string& path, Json rule, int times) {
        rule["method"] = method;
        rule["path"] = path;
        rule["times"] = times;
        zorv_test::sandbox().add_fault(rule);
    }
    static zorv_git_gitlab::Settings settings(int tries, milliseconds base = milliseconds(10)) {
        auto s = quick_settings();
        s.max_tries = tries;
        s.retry_base_delay = base;
        return s;
    }

    static inline std::int64_t group_ = 0, project_ = 0, issue_ = 0;
};

// Each retryable answer, met fewer times than the tries allow, is overcome: the operation gets its
// value and the journal shows one request more than the faults.
TEST_F(Retries, GetRecoversFromEachRetryableFault) {
    const std::vector<std::pair<std::string, Json>> cases = {
        {"429", {{"status", 429}, {"body", "Retry later\n"}, {"headers", {{"Retry-After", "0"}}}}},
        {"502", {{"status", 502}, {"body", "<html>Bad Gateway</html>"}}},
        {"503", {{"status", 503}, {"body", R"({"message":"503"})"}}},
        {"504", {{"status", 504}, {"body", "Gateway Timeout"}}},
        {"drop", {{"action", "drop"}}},
        {"truncate", {{"action", "truncate"}, {"status", 200}, {"body", "[{\"id\":"}}},
    };
    const std::string branch = projects() + "/repository/branches/master$";
    for (const auto& [name, rule] : cases) {
        SCOPED_TRACE(name);
        zorv_test::sandbox().clear_journal();
        fault("GET", branch, rule, 3);
        RecordingContext ctx(settings(4));
        const auto record = ops::get_branch_info(ctx, "retries", group_, "master");
        ASSERT_TRUE(record);
        EXPECT_EQ((*record)["name"], "master");
        EXPECT_EQ(count("GET", branch), 4u);
    }
}

// Answers that retrying cannot mend go back at once.
TEST_F(Retries, GetIsNotRetriedOnOtherAnswers) {
    const std::string branch = projects() + "/repository/branches/master$";
    for (const int status : {400, 401, 403, 404, 409, 422, 500}) {
        SCOPED_TRACE(status);
        zorv_test::sandbox().clear_journal();
        fault("GET", branch, {{"status", status}, {"body", "{}"}}, 0);
        RecordingContext ctx(settings(4));
        EXPECT_FALSE(ops::get_branch_info(ctx, "retries", group_, "master"));
        EXPECT_EQ(count("GET", branch), 1u);
        zorv_test::sandbox().clear_faults();
    }
}

// A fault that never ends costs exactly max_tries requests, then the last answer (or the error).
TEST_F(Retries, TriesAreBoundedAndChangeable) {
    const std::string lookup = "^/api/v4/groups/[0-9]+/projects$";
    fault("GET", lookup, {{"status", 503}, {"body", "{}"}}, 0);
    for (const int tries : {1, 2, 5}) {
        SCOPED_TRACE(tries);
        zorv_test::sandbox().clear_journal();
        RecordingContext ctx(settings(tries, milliseconds(1)));
        EXPECT_FALSE(ops::get_project_info(ctx, "retries", group_));
        EXPECT_EQ(count("GET", lookup), static_cast<std::size_t>(tries));
    }
    zorv_test::sandbox().clear_faults();
    zorv_test::sandbox().clear_journal();
    fault("GET", lookup, {{"action", "drop"}}, 0);
    RecordingContext ctx(settings(3, milliseconds(1)));
    EXPECT_THROW((void)ops::get_project_info(ctx, "retries", group_), zorv_git_gitlab::ConnectionDroppedError);
    // libcurl resends a request once by itself when the pooled connection it reused was closed
    // before any answer; the retries then go out on fresh connections, which it never resends.
    EXPECT_GE(count("GET", lookup), 3u);
    EXPECT_LE(count("GET", lookup), 4u);
}

// The waits double from the base delay, each shortened by jitter to between half and all of it:
// with a base of 100 ms, four tries wait 50..100 + 100..200 + 200..400 ms in all.
TEST_F(Retries, BackoffGrowsExponentiallyWithJitter) {
    fault("GET", "^/api/v4/groups/[0-9]+/projects$", {{"status", 502}, {"body", "{}"}}, 0);
    RecordingContext ctx(settings(4, milliseconds(100)));
    std::vector<double> totals;
    for (int run = 0; run < 3; ++run) {
        const auto start = Clock::now();
        EXPECT_FALSE(ops::get_project_info(ctx, "retries", group_));
        totals.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    for (const double total : totals) {
        EXPECT_GE(total, 0.35);
        EXPECT_LT(total, 2.0);  // 0.7 s of waits at most, four quick requests, a busy machine
    }
}

// Retry-After is honoured (a 429's whole); for a 503 a cap below it shortens the wait.
TEST_F(Retries, RetryAfterIsHonouredUpToTheCap) {
    const std::string lookup = "^/api/v4/groups/[0-9]+/projects$";
    auto s = settings(2, milliseconds(1));
    s.retry_after_cap = std::chrono::seconds(5);
    {
        fault("GET", lookup, {{"status", 429}, {"body", "Retry later\n"}, {"headers", {{"Retry-After", "1"}}}}, 1);
        RecordingContext ctx(s);
        const auto start = Clock::now();
        EXPECT_TRUE(ops::get_project_info(ctx, "retries", group_));
        const auto waited = Clock::now() - start;
        EXPECT_GE(waited, milliseconds(950));
        EXPECT_LT(waited, milliseconds(2500));
    }
    {
        s.retry_after_cap = milliseconds(300);
        fault("GET", lookup, {{"status", 503}, {"body", "{}"}, {"headers", {{"Retry-After", "3600"}}}}, 1);
        RecordingContext ctx(s);
        const auto start = Clock::now();
        EXPECT_TRUE(ops::get_project_info(ctx, "retries", group_));
        const auto waited = Clock::now() - start;
        EXPECT_GE(waited, milliseconds(280));
        EXPECT_LT(waited, milliseconds(2000));
    }
}

// The total time bounds the retries even when tries remain: a wait that would pass it is not taken.
TEST_F(Retries, TotalTimeBoundsTheRetries) {
    const std::string lookup = "^/api/v4/groups/[0-9]+/projects$";
    fault("GET", lookup, {{"status", 503}, {"body", "{}"}}, 0);
    auto s = settings(20, milliseconds(200));
    s.retry_total_time = milliseconds(600);
    RecordingContext ctx(s);
    const auto start = Clock::now();
    EXPECT_FALSE(ops::get_project_info(ctx, "retries", group_));
    EXPECT_LT(Clock::now() - start, milliseconds(1500));
    const auto tries = count("GET", lookup);
    EXPECT_GE(tries, 2u);
    EXPECT_LE(tries, 4u);
}

// Writes go out exactly once, whatever but a 429 comes back, even with tries to spare.
TEST_F(Retries, PostPutAndDeleteAreNeverRetried) {
    const std::string issues = projects() + "/issues$";
    const std::string issue = projects() + "/issues/" + std::to_string(issue_) + "$";
    const std::string branch = projects() + "/repository/branches/doomed$";
    for (const Json& rule : {Json{{"status", 503}, {"body", "{}"}}, Json{{"status", 502}, {"body", "bad"}},
                             Json{{"action", "drop"}}}) {
        SCOPED_TRACE(rule.dump());
        zorv_test::sandbox().clear_faults();
        zorv_test::sandbox().clear_journal();
        fault("POST", issues, rule, 0);
        fault("PUT", issue, rule, 0);
        fault("DELETE", branch, rule, 0);
        RecordingContext ctx(settings(5, milliseconds(1)));
        const bool drop = rule.contains("action");
        if (drop) {
            EXPECT_THROW((void)ops::create_issue(ctx, "retries", group_, "t", "issue"), zorv_git_gitlab::TransportError);
            EXPECT_THROW((void)ops::close_issue(ctx, "retries", group_, issue_), zorv_git_gitlab::TransportError);
            EXPECT_THROW(ops::delete_branch(ctx, "retries", group_, "doomed"), zorv_git_gitlab::TransportError);
        } else {
            EXPECT_FALSE(ops::create_issue(ctx, "retries", group_, "t", "issue"));
            EXPECT_FALSE(ops::close_issue(ctx, "retries", group_, issue_));
            ops::delete_branch(ctx, "retries", group_, "doomed");
            EXPECT_EQ(ctx.take_lines().size(), 3u);  // one failure line each
        }
        EXPECT_EQ(count("POST", issues), 1u);
        EXPECT_EQ(count("PUT", issue), 1u);
        EXPECT_EQ(count("DELETE", branch), 1u);
    }
}

// Through GitLab's own throttle: once the user's budget is spent (for longer than retry_total_time), a
// lookup raises RateLimitedError at once instead of reading as "not found"; a write GitLab throttled
// goes out again and is applied once.
TEST_F(Retries, ThrottledLookupRaisesAndThrottledWriteGoesOutAgain) {
    auto& sb = zorv_test::sandbox();
    struct Restore {
        ~Restore() { zorv_test::sandbox().rate_limits({}, {{"reset", true}}); }
    } restore;
    const std::int64_t now = 1'700'000'000 / 3600 * 3600 + 100;
    sb.rate_limits({{"throttle_authenticated_api_enabled", true}, {"throttle_authenticated_api_requests_per_period", 1},
                    {"throttle_authenticated_api_period_in_seconds", 3600}},
                   {{"now", now}});
    RecordingContext ctx(settings(4));
    EXPECT_TRUE(ops::get_project_info(ctx, "retries", group_));  // the one request the budget allows
    try {
        (void)ops::create_note(ctx, "retries", group_, issue_, "never");
        ADD_FAILURE() << "create_note did not raise";
    } catch (const zorv_git_gitlab::RateLimitedError& e) {
        EXPECT_EQ(e.retry_after(), 3500);
        EXPECT_EQ(e.limit_name(), "throttle_authenticated_api");
        EXPECT_THAT(e.what(), testing::StartsWith("get_project_info: GET /api/v4/"));
    }
    EXPECT_TRUE(ctx.take_lines().empty());
    sb.rate_limits({}, {{"reset", true}});  // the budget back

    const std::string notes = projects() + "/issues/" + std::to_string(issue_) + "/notes$";
    fault("POST", notes, {{"status", 429}, {"body", "Retry later\n"}, {"headers", {{"Retry-After", "0"}}}}, 1);
    zorv_test::sandbox().clear_journal();
    const auto note = ops::create_note(ctx, "retries", group_, issue_, "once");
    ASSERT_TRUE(note);
    EXPECT_EQ((*note)["body"], "once");
    EXPECT_EQ(count("POST", notes), 2u);
    const auto listed = sb.api("GET", "projects/" + std::to_string(project_) + "/issues/" + std::to_string(issue_) + "/notes");
    EXPECT_EQ(std::count_if(listed.json.begin(), listed.json.end(), [](const Json& n) { return n["body"] == "once"; }), 1);
}

}  // namespace
