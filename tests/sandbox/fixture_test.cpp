// The C++ test support against the sandbox: start-up, exported environment, API and control calls.
#include <gtest/gtest.h>

#include "sandbox_fixture.hpp"

#include <cstdlib>
#include <string>

namespace {

using zorv_test::Json;

TEST(SandboxFixture, ExportsTheEnvironmentBeforeTheFirstTest) {
    auto& sb = zorv_test::sandbox();
    ASSERT_NE(std::getenv("GITLAB_HOST"), nullptr);
    EXPECT_EQ(std::getenv("GITLAB_HOST"), sb.host());
    EXPECT_EQ(std::getenv("GITLAB_TOKEN"), sb.token());
    EXPECT_EQ(std::getenv("CURL_CA_BUNDLE"), sb.ca_file());
    EXPECT_EQ(std::getenv("GIT_SSL_CAINFO"), sb.ca_file());
    EXPECT_EQ(sb.api_url(), "https://" + sb.host() + "/api/v4/");
}

TEST(SandboxFixture, ApiCallsJournalAndFaults) {
    auto& sb = zorv_test::sandbox();
    sb.clear_journal();
    const auto group = sb.api("POST", "groups", Json{{"name", "fixture"}, {"path", "fixture"}});
    ASSERT_EQ(group.status, 201) << group.body;
    const auto id = group.json.at("id").get<std::int64_t>();

    const auto missing = sb.api("GET", "groups/" + std::to_string(id), nullptr, "");
    EXPECT_EQ(missing.status, 401);
    EXPECT_EQ(missing.json, (Json{{"message", "401 Unauthorized"}}));

    sb.add_fault(Json{{"method", "GET"}, {"path", "^/api/v4/groups/" + std::to_string(id) + "$"}, {"status", 502}});
    EXPECT_EQ(sb.api("GET", "groups/" + std::to_string(id)).status, 502);
    EXPECT_EQ(sb.api("GET", "groups/fixture").status, 200);

    const auto journal = sb.journal();
    ASSERT_EQ(journal.size(), 4U);
    EXPECT_EQ(journal[0].at("method"), "POST");
    EXPECT_EQ(journal[0].at("body"), R"({"name":"fixture","path":"fixture"})");
    EXPECT_EQ(journal[2].at("status"), 502);
    EXPECT_EQ(journal[3].at("path"), "/api/v4/groups/fixture");
    sb.clear_faults();
}

TEST(SandboxFixture, RawTargetsAndPagingHeaders) {
    auto& sb = zorv_test::sandbox();
    const auto parent = sb.api("POST", "groups", Json{{"name", "pages"}, {"path", "pages"}}).json.at("id");
    for (int i = 0; i < 3; ++i) {
        const auto name = "child-" + std::to_string(i);
        ASSERT_EQ(sb.api("POST", "groups", Json{{"name", name}, {"path", name}, {"parent_id", parent}}).status, 201);
    }
    const auto page = sb.api("GET", "groups/" + parent.dump() + "/subgroups?per_page=2");
    EXPECT_EQ(page.json.size(), 2U);
    EXPECT_EQ(page.header("X-Next-Page"), "2");
    EXPECT_EQ(page.header("x-total"), "3");
    EXPECT_EQ(sb.api("GET", "groups/pages%2Fchild-1").status, 200);
    EXPECT_EQ(sb.api("GET", "groups/pages/child-1").json, (Json{{"error", "404 Not Found"}}));
}

TEST(SandboxFixture, UsersAndControlErrors) {
    auto& sb = zorv_test::sandbox();
    const auto user = sb.create_user("fixture-user", "Fixture User");
    ASSERT_TRUE(user.contains("token"));
    const auto me = sb.api("GET", "user", nullptr, user.at("token").get<std::string>());
    EXPECT_EQ(me.json.at("username"), "fixture-user");
    EXPECT_THROW(sb.create_user("fixture-user"), std::runtime_error);
}

}  // namespace
