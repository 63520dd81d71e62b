// A user's own GoogleTest file: automation code run against the sandbox through the installed kit.
#include <gtest/gtest.h>
#include <zorv_git_gitlab/git.hpp>
#include <zorv_git_gitlab/testing/sandbox.hpp>

#include <cstdint>
#include <cstdlib>

namespace {

namespace zt = zorv_git_gitlab::testing;
using zorv_git_gitlab::GitlabGit;

TEST(Release, CreatesTheProject) {
    auto& sb = zt::sandbox();
    EXPECT_EQ(std::getenv("GITLAB_HOST"), sb.host());  // exported before the first test
    const auto group = sb.group();
    const auto group_id = group.at("id").get<std::int64_t>();
    sb.clear_journal();

    GitlabGit::create_project("app", group_id);

    const auto sent = sb.requests("POST");
    ASSERT_EQ(sent.size(), 2U);
    EXPECT_EQ(sent[0].str(), "POST /api/v4/projects");
    EXPECT_EQ(sent[0].body.at("name"), "app");
    EXPECT_EQ(sent[0].token(), sb.token());
    EXPECT_TRUE(sent[1].api_path().ends_with("/repository/files/README.md")) << sent[1].str();
}

TEST(Release, SeesFaults) {
    auto& sb = zt::sandbox();
    const auto group_id = sb.group().at("id").get<std::int64_t>();
    sb.clear_journal();
    sb.fail("GET", "/projects$", 500);
    EXPECT_FALSE(GitlabGit::get_project_info("app", group_id).has_value());
    const auto sent = sb.requests("GET", "/projects$");
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent[0].status, 500);
    EXPECT_EQ(sent[0].query.at("search"), "app");
}

}  // namespace
