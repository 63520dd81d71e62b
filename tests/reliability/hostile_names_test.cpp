// Hostile names: project, branch, tag, file and variable names holding / .. ? # % & + spaces, quotes,
// newlines, non-ASCII and emoji reach the intended route with the intended value, checked in the
// sandbox's journal, and never another route. Where the server accepts the name, the thing is found
// again under exactly that name.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "helpers.hpp"

namespace {

using namespace zorv_rel;
namespace ops = zorv_git_gitlab::ops;
using ::testing::ElementsAreArray;
using ::testing::IsSupersetOf;

const std::vector<std::string> kHostile = {
    "rel/1.0",          "../../etc/passwd", "..",        ".",           "what?x=1&y=2", "frag#ment",
    "100%",             "%2F%2e%2e",        "a&b=c",     "a+b c",       " lead and trail ",
    "quote's",          "quote\"d",         "new\nline", "tab\tcr\r",   "café-ñ",       "emoji-😀🚀",
    "x/../../users/1",  "?",                "#",         "+",           "~user;v=1",    "back\\slash",
};

class HostileNames : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        RecordingContext ctx;
        group_ = make_group("rel-names");
        project_ = make_project(ctx, "names", group_);
    }
    void SetUp() override { zorv_test::sandbox().clear_journal(); }

    static std::string pid() { return std::to_string(project_); }

    // The project lookup's route: the group's projects.
    static std::string lookup_path() { return "/api/v4/groups/" + std::to_string(group_) + "/projects"; }

    // Every request since the last check, as decoded path segments below /api/v4/; the project lookup
    // (GET groups/:id/projects?search=names) is left out.
    static std::vector<Json> calls() {
        std::vector<Json> out;
        for (const auto& entry : zorv_test::sandbox().journal()) {
            if (entry["path"] == lookup_path() && entry["method"] == "GET" &&
                form_value(entry.value("query", ""), "search") == "names") {
                continue;
            }
            out.push_back(entry);
        }
        zorv_test::sandbox().clear_journal();
        return out;
    }
    static std::vector<std::string> segments(const Json& entry) { return api_segments(entry.value("path", "")); }

    static std::int64_t group_, project_;
};
std::int64_t HostileNames::group_ = 0;
std::int64_t HostileNames::project_ = 0;

TEST_F(HostileNames, BranchNamesStayOnePathSegmentAndOneBodyValue) {
    RecordingContext ctx;
    std::vector<std::string> accepted;
    for (const auto& name : kHostile) {
        SCOPED_TRACE(::testing::PrintToString(name));
        const std::vector<std::string> route = {"projects", pid(), "repository", "branches", name};
        (void)ops::get_branch_info(ctx, "names", group_, name);
        auto seen = calls();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0]["method"], "GET");
        EXPECT_THAT(segments(seen[0]), ElementsAreArray(route));
        EXPECT_EQ(seen[0]["query"], "");

        const auto created = ops::create_branch(ctx, "names", group_, name);
        seen = calls();
        ASSERT_EQ(seen.size(), 2u);  // the existence test, then the creation
        EXPECT_THAT(segments(seen[0]), ElementsAreArray(route));
        EXPECT_EQ(seen[1]["method"], "POST");
        EXPECT_THAT(segments(seen[1]), ElementsAreArray(std::vector<std::string>{"projects", pid(), "repository", "branches"}));
        const Json body = Json::parse(seen[1]["body"].get<std::string>());
        EXPECT_EQ(body["branch"], name);
        EXPECT_EQ(body["ref"], "master");
        if (!created) continue;  // a name git refuses
        accepted.push_back(name);

        EXPECT_EQ((*created)["name"], name);
        const auto found = ops::get_branch_info(ctx, "names", group_, name);
        ASSERT_TRUE(found);
        EXPECT_EQ((*found)["name"], name);
        ops::delete_branch(ctx, "names", group_, name);
        seen = calls();
        ASSERT_EQ(seen.size(), 3u);
        EXPECT_EQ(seen[2]["method"], "DELETE");
        EXPECT_THAT(segments(seen[2]), ElementsAreArray(route));
        EXPECT_FALSE(ops::get_branch_info(ctx, "names", group_, name));
        (void)calls();
    }
    // The master branch is untouched by any of it.
    EXPECT_TRUE(ops::get_branch_info(ctx, "names", group_, "master"));
    // Names git allows in refs must have been created, or the checks above proved little.
    EXPECT_THAT(accepted, IsSupersetOf({"rel/1.0", "frag#ment", "100%", "a&b=c", "quote's", "café-ñ", "emoji-😀🚀", "+"}));
}

TEST_F(HostileNames, TagNamesReachTheTagRouteAndTheFormBody) {
    RecordingContext ctx;
    std::vector<std::string> accepted;
    for (const auto& name : kHostile) {
        SCOPED_TRACE(::testing::PrintToString(name));
        const std::vector<std::string> route = {"projects", pid(), "repository", "tags", name};
        ops::tag_project(ctx, name, "names", "master", group_);
        auto seen = calls();
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_THAT(segments(seen[0]), ElementsAreArray(route));
        EXPECT_EQ(seen[1]["method"], "POST");
        EXPECT_THAT(segments(seen[1]), ElementsAreArray(std::vector<std::string>{"projects", pid(), "repository", "tags"}));
        const std::string form = seen[1]["body"];
        EXPECT_EQ(form_value(form, "tag_name"), name);
        EXPECT_EQ(form_value(form, "message"), name);
        EXPECT_EQ(form_value(form, "ref"), "master");
        const auto lines = ctx.take_lines();
        ASSERT_EQ(lines.size(), 1u);
        if (lines[0] != "Successfully tagged " + name) continue;  // refused by the server
        accepted.push_back(name);

        const auto tag = ops::get_tag_info(ctx, name, "names", group_);
        ASSERT_TRUE(tag);
        EXPECT_EQ((*tag)["name"], name);
        seen = calls();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_THAT(segments(seen[0]), ElementsAreArray(route));
    }
    // Names git allows in refs must have been created, or the checks above proved little.
    EXPECT_THAT(accepted, IsSupersetOf({"rel/1.0", "frag#ment", "100%", "a&b=c", "quote's", "café-ñ", "emoji-😀🚀", "+"}));
}

TEST_F(HostileNames, FileNamesReachTheFilesRouteAndKeepTheirContent) {
    RecordingContext ctx;
    std::vector<std::string> accepted;
    auto& sb = zorv_test::sandbox();
    for (const auto& name : kHostile) {
        SCOPED_TRACE(::testing::PrintToString(name));
        const std::string content = "content of " + name + "\n";
        ops::commit_file(ctx, "names", group_, name, content);
        const auto seen = calls();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0]["method"], "POST");
        EXPECT_THAT(segments(seen[0]),
                    ElementsAreArray(std::vector<std::string>{"projects", pid(), "repository", "files", name}));
        const Json body = Json::parse(seen[0]["body"].get<std::string>());
        EXPECT_EQ(body["commit_message"], name);
        EXPECT_EQ(body["branch"], "master");
        const auto lines = ctx.take_lines();
        ASSERT_EQ(lines.size(), 1u);
        if (lines[0] != "Successfully created " + name) continue;
        accepted.push_back(name);

        // Read back under exactly that name: the route takes it as one encoded segment.
        std::string encoded;
        for (const unsigned char c : name) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            encoded += std::isalnum(c) ? std::string(1, static_cast<char>(c)) : std::string(hex);
        }
        const auto raw = sb.api("GET", "projects/" + pid() + "/repository/files/" + encoded + "/raw?ref=master");
        EXPECT_EQ(raw.status, 200);
        EXPECT_EQ(raw.body, content);
        (void)calls();
    }
    EXPECT_THAT(accepted, IsSupersetOf({"rel/1.0", "what?x=1&y=2", "frag#ment", "a+b c", "new\nline", "emoji-😀🚀", "back\\slash"}));
}

TEST_F(HostileNames, VariableKeysReachTheVariableRouteAndTheJsonBody) {
    RecordingContext ctx;
    for (const auto& key : kHostile) {
        SCOPED_TRACE(::testing::PrintToString(key));
        const std::vector<std::string> route = {"projects", pid(), "variables", key};
        const std::string value = "value of " + key;
        ops::set_project_variable(ctx, "names", key, value, group_);
        auto seen = calls();
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[0]["method"], "GET");
        EXPECT_THAT(segments(seen[0]), ElementsAreArray(route));
        EXPECT_EQ(seen[1]["method"], "POST");
        EXPECT_THAT(segments(seen[1]), ElementsAreArray(std::vector<std::string>{"projects", pid(), "variables"}));
        const Json body = Json::parse(seen[1]["body"].get<std::string>());
        EXPECT_EQ(body["key"], key);
        EXPECT_EQ(body["value"], value);
        // GitLab allows only letters, digits and "_" in keys: each is refused, and nothing is created.
        const auto lines = ctx.take_lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(lines[0].starts_with("Failed to set environment variable " + key + ". Response: ")) << lines[0];
        EXPECT_FALSE(ops::get_project_variable(ctx, "names", key, group_));
        (void)calls();
    }

    // Hostile values travel in the JSON body of the creation and the form body of the overwrite.
    for (const auto& value : kHostile) {
        SCOPED_TRACE(::testing::PrintToString(value));
        ops::set_project_variable(ctx, "names", "HOSTILE_VALUE", value, group_);
        ASSERT_EQ(ctx.take_lines(), std::vector<std::string>{"Environment variable HOSTILE_VALUE set successfully."});
        const auto found = ops::get_project_variable(ctx, "names", "HOSTILE_VALUE", group_);
        ASSERT_TRUE(found);
        EXPECT_EQ((*found)["value"], value);
    }
    const auto writes = calls();
    EXPECT_EQ(std::count_if(writes.begin(), writes.end(), [](const Json& e) { return e["method"] == "PUT"; }),
              static_cast<long>(kHostile.size()) - 1);
}

TEST_F(HostileNames, ProjectNamesTravelAsQueryAndBodyValues) {
    RecordingContext ctx;
    for (const auto& name : kHostile) {
        SCOPED_TRACE(::testing::PrintToString(name));
        EXPECT_FALSE(ops::get_project_info(ctx, name, group_));
        auto seen = calls();
        ASSERT_GE(seen.size(), 1u);
        for (const auto& entry : seen) {
            EXPECT_EQ(entry["method"], "GET");
            EXPECT_EQ(entry["path"], lookup_path());
            EXPECT_EQ(form_value(entry["query"].get<std::string>(), "search"), name);
        }

        // A name the server refuses leaves no project for the README: the lookup then finds none.
        try {
            ops::create_project(ctx, name, group_);
        } catch (const zorv_git_gitlab::ProjectNotFoundError&) {
        }
        seen = calls();
        ASSERT_GE(seen.size(), 1u);
        EXPECT_EQ(seen[0]["method"], "POST");
        EXPECT_EQ(seen[0]["path"], "/api/v4/projects");
        const Json body = Json::parse(seen[0]["body"].get<std::string>());
        EXPECT_EQ(body["name"], name);
        EXPECT_EQ(body["path"], name);
        EXPECT_EQ(body["namespace_id"], std::to_string(group_));
        // Every further request is the README's: a lookup of that name, and the file route of a project.
        for (std::size_t i = 1; i < seen.size(); ++i) {
            const auto s = segments(seen[i]);
            const bool lookup = seen[i]["path"] == lookup_path() &&
                                form_value(seen[i]["query"].get<std::string>(), "search") == name;
            const bool readme = s.size() == 5 && s[0] == "projects" && s[3] == "files" && s[4] == "README.md";
            EXPECT_TRUE(lookup || readme) << seen[i].dump();
        }
        // GitLab's path rule refuses every one of these as a path.
        const auto lines = ctx.take_lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_TRUE(lines[0].starts_with("Failed to create the project. Response: ")) << lines[0];
    }

    // Names GitLab accepts with a plain path are found by the lookup under exactly that name, although
    // they travel in the search query.
    int created = 0;
    std::vector<std::string> found_names;
    for (const auto& name : kHostile) {
        SCOPED_TRACE(::testing::PrintToString(name));
        const auto reply = zorv_test::sandbox().api(
            "POST", "projects", {{"name", name}, {"path", "lookup-" + std::to_string(++created)}, {"namespace_id", group_}});
        if (reply.status != 201) continue;
        const auto found = ops::get_project_info(ctx, name, group_);
        ASSERT_TRUE(found);
        EXPECT_EQ((*found)["name"], name);
        EXPECT_EQ((*found)["id"], reply.json["id"]);
        found_names.push_back(name);
    }
    // (The sandbox takes any name here; these are names GitLab takes too.)
    EXPECT_THAT(found_names, IsSupersetOf({"a+b c", "café-ñ", "emoji-😀🚀", " lead and trail "}));
}

}  // namespace
