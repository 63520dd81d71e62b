// The request layer against the sandbox: paging, headers, bodies, retries, failure lines and the
// errors of the transport, seen through operations and checked in the sandbox's journal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "sandbox_fixture.hpp"
#include "test_helpers.hpp"
#include "zorv_git_gitlab/errors.hpp"
#include "zorv_git_gitlab/operations.hpp"

namespace z = zorv_git_gitlab;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

using zorv_test::Capture;

z::Config sandbox_config(std::optional<std::string> token = zorv_test::sandbox().token()) {
    z::Config config{zorv_test::sandbox().api_url(), std::move(token), {}};
    config.settings.retry_base_delay = std::chrono::milliseconds(10);
    return config;
}

std::int64_t make_group(const std::string& name) {
    const auto reply = zorv_test::sandbox().api("POST", "groups", {{"name", name}, {"path", name}});
    EXPECT_EQ(reply.status, 201) << reply.body;
    return reply.json["id"].get<std::int64_t>();
}

std::int64_t make_project(const std::string& name, std::int64_t group) {
    const auto reply = zorv_test::sandbox().api("POST", "projects", {{"name", name}, {"path", name}, {"namespace_id", group}});
    EXPECT_EQ(reply.status, 201) << reply.body;
    return reply.json["id"].get<std::int64_t>();
}

std::vector<zorv_test::Json> requests_to(const std::string& path_prefix) {
    std::vector<zorv_test::Json> out;
    for (const auto& entry : zorv_test::sandbox().journal()) {
        if (entry["path"].get<std::string>().starts_with(path_prefix)) out.push_back(entry);
    }
    return out;
}

// The project lookup's route for a group.
std::string lookup_path(std::int64_t group) { return "/api/v4/groups/" + std::to_string(group) + "/projects"; }

// Projects whose names contain "app", seeded in bulk, made once for the tests that need them: in `far`
// the wanted "app" and after it 250 newer "app-N", so that the group's answer (newest first) lists it on
// its third page; in `near` an "app" and 250 look-alikes of its own.
struct AppProjects {
    std::int64_t near = 0;
    std::int64_t far = 0;
    std::int64_t wanted = 0;
};

const AppProjects& app_projects() {
    static const AppProjects made = [] {
        auto& sb = zorv_test::sandbox();
        const auto look_alikes = [](const std::string& prefix) {
            std::vector<std::string> names{"app"};
            for (int i = 0; i < 250; ++i) names.push_back(prefix + std::to_string(i));
            return names;
        };
        AppProjects p;
        p.near = make_group("lookup-near");
        p.far = make_group("lookup-far");
        sb.projects(p.near, look_alikes("app-near-"));
        p.wanted = sb.projects(p.far, look_alikes("app-")).front();
        return p;
    }();
    return made;
}

class RequestLayer : public testing::Test {
protected:
    void SetUp() override {
        zorv_test::sandbox().clear_faults();
        zorv_test::sandbox().clear_journal();
    }
    void TearDown() override { zorv_test::sandbox().clear_faults(); }
};

}  // namespace

TEST_F(RequestLayer, ProjectLookupFollowsTheGroupsPagesUntilItFindsTheExactName) {
    const auto& apps = app_projects();
    zorv_test::sandbox().clear_journal();

    Capture ctx(sandbox_config());
    const auto found = z::ops::get_project_info(ctx, "app", apps.far);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ((*found)["id"], apps.wanted);
    EXPECT_TRUE(ctx.lines.empty());

    const std::string query = "search=app&simple=True&with_shared=False&include_subgroups=False&per_page=100";
    const auto searches = requests_to("/api/v4/");
    ASSERT_EQ(searches.size(), 3u);  // the group's third page holds it; the other group is never asked
    for (const auto& entry : searches) EXPECT_EQ(entry["path"], lookup_path(apps.far));
    EXPECT_EQ(searches[0]["query"], query);
    EXPECT_EQ(searches[2]["query"], query + "&page=3");
}

TEST_F(RequestLayer, LookupPagesUntilTheGroupsLastAndFindsNothingQuietly) {
    const auto& apps = app_projects();
    const auto group = make_group("lookup-miss");
    zorv_test::sandbox().clear_journal();
    Capture ctx(sandbox_config());
    EXPECT_FALSE(z::ops::get_project_info(ctx, "App", apps.far).has_value());  // the search ignores case
    EXPECT_FALSE(z::ops::get_project_info(ctx, "app-ui", apps.far).has_value());
    EXPECT_EQ(requests_to(lookup_path(apps.far)).size(), 4u);  // three pages for "App", one for "app-ui"
    EXPECT_FALSE(z::ops::get_project_info(ctx, "app", group).has_value());  // "app" lives in other groups
    EXPECT_EQ(requests_to(lookup_path(group)).size(), 1u);
    EXPECT_TRUE(ctx.lines.empty());
}

TEST_F(RequestLayer, TokenHeaderIsSentOnlyWhenThereIsAToken) {
    Capture with_token(sandbox_config());
    z::ops::get_project_info(with_token, "nothing-here", 1);
    Capture without(sandbox_config(std::nullopt));
    EXPECT_FALSE(z::ops::get_project_info(without, "nothing-here", 1).has_value());  // 401, no value

    const auto searches = requests_to(lookup_path(1));
    ASSERT_EQ(searches.size(), 2u);
    EXPECT_EQ(searches[0]["headers"].value("PRIVATE-TOKEN", searches[0]["headers"].value("private-token", "")),
              zorv_test::sandbox().token());
    EXPECT_FALSE(searches[1]["headers"].contains("PRIVATE-TOKEN") || searches[1]["headers"].contains("private-token"));
    EXPECT_EQ(searches[1]["status"], 401);
}

TEST_F(RequestLayer, JsonBodiesKeepTheOperationsKeyOrderAndFailureLinesQuoteTheBody) {
    const auto group = make_group("bodies");
    Capture ctx(sandbox_config());
    z::ops::create_project(ctx, "ordered", group);
    z::ops::create_project(ctx, "ordered", group);  // taken: refused, README commit still tried

    const auto posts = requests_to("/api/v4/projects");
    ASSERT_GE(posts.size(), 2u);
    const auto body = zorv_test::Json::parse(posts[0]["body"].get<std::string>());
    std::vector<std::string> keys;
    for (const auto& [key, value] : body.items()) keys.push_back(key);
    EXPECT_THAT(keys, ElementsAre("name", "description", "path", "namespace_id", "visibility"));
    EXPECT_EQ(body["namespace_id"], std::to_string(group));

    ASSERT_EQ(ctx.lines.size(), 4u);
    EXPECT_EQ(ctx.lines[0], "Project ordered created successfully.");
    EXPECT_EQ(ctx.lines[1], "Successfully created README.md");
    EXPECT_THAT(ctx.lines[2], testing::StartsWith("Failed to create the project. Response:  {"));
    EXPECT_THAT(ctx.lines[3], testing::StartsWith("Failed to create README.md: {"));
}

TEST_F(RequestLayer, GetIsRetriedOnTransientAnswersAndWritesNeverAre) {
    const auto group = make_group("retries");
    auto& sb = zorv_test::sandbox();
    sb.add_fault({{"method", "GET"}, {"path", "^/api/v4/groups/[0-9]+/subgroups$"}, {"status", 503}, {"times", 2}});
    sb.add_fault({{"method", "POST"}, {"path", "^/api/v4/groups$"}, {"status", 503}, {"body", "busy"}, {"times", 1}});
    sb.clear_journal();

    Capture ctx(sandbox_config());
    EXPECT_FALSE(z::ops::get_sub_group_info(ctx, "none", group).has_value());
    EXPECT_EQ(requests_to("/api/v4/groups/" + std::to_string(group) + "/subgroups").size(), 3u);

    EXPECT_FALSE(z::ops::create_sub_group(ctx, "child", group));
    EXPECT_EQ(requests_to("/api/v4/groups").size() - 3u, 1u);  // one POST, not retried
    EXPECT_THAT(ctx.lines, ElementsAre("Failed to create subgroup. Response: busy"));
}

TEST_F(RequestLayer, RetriesStopAtTheConfiguredNumberOfTries) {
    auto& sb = zorv_test::sandbox();
    sb.add_fault({{"method", "GET"}, {"path", "^/api/v4/projects/4242/pipelines/1$"}, {"status", 429},
                  {"headers", {{"Retry-After", "0"}}}, {"times", 0}});
    sb.clear_journal();
    auto config = sandbox_config();
    config.settings.max_tries = 3;
    Capture ctx(config);
    EXPECT_THROW((void)z::ops::get_single_pipeline_status(ctx, 4242, 1), z::RateLimitedError);
    EXPECT_EQ(requests_to("/api/v4/projects/4242/pipelines/1").size(), 3u);
}

TEST_F(RequestLayer, TransportFaultsRaiseTheLibrarysErrors) {
    auto& sb = zorv_test::sandbox();
    auto config = sandbox_config();
    config.settings.stall_timeout = std::chrono::seconds(1);
    config.settings.max_tries = 1;
    config.settings.max_response_bytes = 1 << 20;
    Capture ctx(config);

    sb.add_fault({{"method", "GET"}, {"path", "^/api/v4/projects/1/pipelines/1$"}, {"status", 200}, {"body", "<html>"}});
    EXPECT_THROW(z::ops::get_single_pipeline_status(ctx, 1, 1), z::JsonDecodeError);

    sb.add_fault({{"method", "GET"}, {"path", "^/api/v4/projects/1/pipelines/2$"}, {"action", "hang"}});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(z::ops::get_single_pipeline_status(ctx, 1, 2), z::TimeoutError);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));

    sb.add_fault({{"method", "GET"}, {"path", "^/api/v4/projects/1/pipelines/3$"}, {"action", "huge"}, {"size", 4 << 20}});
    EXPECT_THROW(z::ops::get_single_pipeline_status(ctx, 1, 3), z::ResponseTooLargeError);

    sb.add_fault({{"method", "GET"}, {"path", "^/api/v4/projects/1/pipelines/4$"}, {"action", "drop"}});
    EXPECT_THROW(z::ops::get_single_pipeline_status(ctx, 1, 4), z::ConnectionDroppedError);

    Capture nowhere(z::Config{"https://127.0.0.1:1/api/v4/", "secret", {}});
    try {
        z::ops::get_single_pipeline_status(nowhere, 1, 1);
        FAIL() << "no error";
    } catch (const z::ConnectError& e) {
        EXPECT_THAT(e.what(), HasSubstr("GET https://127.0.0.1:1/api/v4/projects/1/pipelines/1"));
        EXPECT_THAT(e.what(), testing::Not(HasSubstr("secret")));
    }
    // The pool is healthy afterwards.
    EXPECT_FALSE(z::ops::get_single_pipeline_status(ctx, 1, 99).has_value());
}

TEST_F(RequestLayer, MissingProjectIsAClearErrorBeforeAnyFurtherRequest) {
    const auto group = make_group("missing-project");
    zorv_test::sandbox().clear_journal();
    Capture ctx(sandbox_config());
    try {
        z::ops::get_branch_info(ctx, "ghost", group, "main");
        FAIL() << "no error";
    } catch (const z::ProjectNotFoundError& e) {
        EXPECT_THAT(e.what(), HasSubstr("ghost"));
        EXPECT_THAT(e.what(), HasSubstr(std::to_string(group)));
    }
    for (const auto& entry : zorv_test::sandbox().journal()) EXPECT_EQ(entry["path"], lookup_path(group));
}

TEST_F(RequestLayer, ProjectLookupDecidesAsIfEachPageWereDecodedWhole) {
    auto& sb = zorv_test::sandbox();
    Capture ctx(sandbox_config());
    const auto answer = [&](const std::string& body) {
        sb.add_fault({{"method", "GET"}, {"path", "^/api/v4/groups/77/projects$"}, {"status", 200}, {"body", body}});
    };
    // The last of repeated keys counts, escaped keys are keys, the record comes back as the server wrote
    // it; the same with a number beyond 64 bits elsewhere on the page.
    const std::string match = R"({"name":"apps","na\u006de":"app","id":7,"namespace":{"id":5,"id":77},"x":[1.0,-0.0,"\u00e9"]})";
    for (const std::string other : {R"({"name":"other"})", R"({"name":"other","n":123456789012345678901234567890})"}) {
        const std::string page = R"([{"name":"app","name":"apps","namespace":{"id":77}},)" + other + "," + match + "]";
        answer(page);
        const auto found = z::ops::get_project_info(ctx, "app", 77);
        ASSERT_TRUE(found.has_value()) << page;
        EXPECT_EQ(*found, z::Json::parse(page)[2]) << page;
    }
    answer(R"([{"name":"app","id":1}])");
    EXPECT_THROW(z::ops::get_project_info(ctx, "app", 77), z::MissingFieldError);
    answer(R"([{"name":"other"}, 5])");
    EXPECT_THROW(z::ops::get_project_info(ctx, "app", 77), z::MissingFieldError);
    answer(R"([{"name":"app","namespace":{"id":77}}] trailing)");
    EXPECT_THROW(z::ops::get_project_info(ctx, "app", 77), z::JsonDecodeError);
    answer(R"({"name":"app","namespace":{"id":77}})");
    EXPECT_FALSE(z::ops::get_project_info(ctx, "app", 77).has_value());
    EXPECT_TRUE(ctx.lines.empty());
}

TEST_F(RequestLayer, AnOperationReusesItsProjectUnlessTheContextMayReplaceTheLookup) {
    const auto group = make_group("reuse");
    const auto project = make_project("reused", group);
    const auto sent = [] {
        std::vector<std::string> out;
        for (const auto& entry : zorv_test::sandbox().journal()) {
            out.push_back(entry["method"].get<std::string>() + " " + entry["path"].get<std::string>());
        }
        zorv_test::sandbox().clear_journal();
        return out;
    };
    const std::string lookup = "GET " + lookup_path(group);
    const std::string branch = "/api/v4/projects/" + std::to_string(project) + "/repository/branches";
    sent();

    z::FixedContext own(sandbox_config());  // the library's own inner calls
    z::ops::create_branch(own, "reused", group, "topic");
    EXPECT_THAT(sent(), ElementsAre(lookup, "GET " + branch + "/topic", "POST " + branch));

    Capture derived(sandbox_config());  // may replace them: the inner call looks the project up again
    z::ops::create_branch(derived, "reused", group, "other");
    EXPECT_THAT(sent(), ElementsAre(lookup, lookup, "GET " + branch + "/other", "POST " + branch));
}
