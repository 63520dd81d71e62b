// Working copies keep everything: whichever step of commit_project fails (the fetch, the merge, the
// local commit, the request, the second fetch), every local change stays in the working tree or in
// the local commit, and a later call publishes it. Also: file names that are hard on every layer
// (spaces, quotes, newlines, non-ASCII, emoji, a leading dash) arrive on the server unchanged.
#include <gtest/gtest.h>

#include "helpers.hpp"

namespace {

using namespace zorv_rel;
namespace ops = zorv_git_gitlab::ops;
namespace fs = std::filesystem;

// One project with a clone of it; the server's master holds README.md and gone.txt.
class KeepChanges : public ::testing::Test {
protected:
    static void SetUpTestSuite() { group_ = make_group("rel-keep"); }

    void start(const std::string& project) {
        project_ = project;
        pid_ = std::to_string(make_project(ctx_, project, group_));
        auto& sb = zorv_test::sandbox();
        const auto seeded = sb.api("POST", "projects/" + pid_ + "/repository/commits",
                                   {{"branch", "master"},
                                    {"commit_message", "seed"},
                                    {"actions", Json::array({{{"action", "create"}, {"file_path", "gone.txt"},
                                                              {"content", "to be deleted\n"}}})}});
        ASSERT_EQ(seeded.status, 201) << seeded.body;
        work_ = ops::clone_project(ctx_, (dir_.path() / project).string(), project, group_);
        (void)ctx_.take_lines();
    }
    void TearDown() override { zorv_test::sandbox().clear_faults(); }

    // Local changes of every kind, not yet staged.
    void change_locally(const std::string& tag) {
        write_file(fs::path(work_) / "README.md", "README " + tag + "\n");
        write_file(fs::path(work_) / "docs" / ("new " + tag + ".txt"), "new " + tag + "\n");
        fs::remove(fs::path(work_) / "gone.txt");
    }
    void expect_in_working_tree(const std::string& tag) {
        EXPECT_EQ(read_file(fs::path(work_) / "README.md"), "README " + tag + "\n");
        EXPECT_EQ(read_file(fs::path(work_) / "docs" / ("new " + tag + ".txt")), "new " + tag + "\n");
        EXPECT_FALSE(fs::exists(fs::path(work_) / "gone.txt"));
    }
    void expect_in_local_commit(const std::string& tag) {
        EXPECT_EQ(git(work_, {"show", "HEAD:README.md"}, false), "README " + tag + "\n");
        EXPECT_EQ(git(work_, {"show", "HEAD:docs/new " + tag + ".txt"}, false), "new " + tag + "\n");
        EXPECT_EQ(git(work_, {"ls-tree", "--name-only", "HEAD", "gone.txt"}), "");
    }
    // The server's master holds the change.
    void expect_published(const std::string& tag) {
        auto& sb = zorv_test::sandbox();
        EXPECT_EQ(sb.api("GET", "projects/" + pid_ + "/repository/files/README.md/raw?ref=master").body,
                  "README " + tag + "\n");
        EXPECT_EQ(sb.api("GET", "projects/" + pid_ + "/repository/files/docs%2Fnew%20" + tag + ".txt/raw?ref=master").body,
                  "new " + tag + "\n");
        EXPECT_EQ(sb.api("GET", "projects/" + pid_ + "/repository/files/gone.txt?ref=master").status, 404);
    }
    std::string head() { return git(work_, {"rev-parse", "HEAD"}); }
    std::string git_route() { return "^/rel-keep/" + project_ + "\\.git/"; }
    std::string commits_route() { return "^/api/v4/projects/" + pid_ + "/repository/commits$"; }

    // commit_project; the kind of error it raised, or "returned".
    std::string publish(zorv_git_gitlab::Context& ctx, const std::string& message = "publish") {
        try {
            ops::commit_project(ctx, work_, message, project_, "master", group_);
            return "returned";
        } catch (...) {
            return error_kind(std::current_exception());
        }
    }
    std::string publish() { return publish(ctx_); }

    static inline std::int64_t group_ = 0;
    TempDir dir_;
    RecordingContext ctx_;
    std::string project_, pid_, work_;
};

TEST_F(KeepChanges, FailedFetchLeavesTheChangesInTheWorkingTree) {
    start("keep-fetch");
    change_locally("a");
    const auto before = head();
    for (const Json& fault : {Json{{"status", 500}, {"body", "broken"}}, Json{{"action", "drop"}}}) {
        SCOPED_TRACE(fault.dump());
        Json rule = fault;
        rule.update({{"path", git_route()}, {"times", 0}});
        zorv_test::sandbox().add_fault(rule);
        EXPECT_EQ(publish(), "GitError");
        zorv_test::sandbox().clear_faults();
        EXPECT_EQ(head(), before);  // no local commit
        expect_in_working_tree("a");
    }
    EXPECT_EQ(publish(), "returned");
    expect_published("a");
    expect_in_working_tree("a");
}

// A server change to a file that is changed but not committed locally: git refuses to merge and
// touches nothing.
TEST_F(KeepChanges, MergeRefusedOverUncommittedChangesTouchesNothing) {
    start("keep-dirty");
    auto& sb = zorv_test::sandbox();
    const auto server = sb.api("POST", "projects/" + pid_ + "/repository/commits",
                               {{"branch", "master"},
                                {"commit_message", "server side"},
                                {"actions", Json::array({{{"action", "update"}, {"file_path", "README.md"},
                                                          {"content", "server\n"}}})}});
    ASSERT_EQ(server.status, 201);
    change_locally("b");
    const auto before = head();
    EXPECT_EQ(publish(), "GitError");
    EXPECT_EQ(head(), before);
    expect_in_working_tree("b");
}

// A server change that conflicts with a local commit: the merge stops with the local commit intact
// and the other local changes in the working tree; aborting the merge gives back the exact state.
TEST_F(KeepChanges, ConflictingMergeKeepsTheLocalCommitAndTheOtherChanges) {
    start("keep-conflict");
    write_file(fs::path(work_) / "README.md", "local README\n");
    git(work_, {"-c", "user.name=Tester", "-c", "user.email=tester@example.com", "commit", "-q", "-am", "local"});
    const auto local = head();
    auto& sb = zorv_test::sandbox();
    const auto server = sb.api("POST", "projects/" + pid_ + "/repository/commits",
                               {{"branch", "master"},
                                {"commit_message", "server side"},
                                {"actions", Json::array({{{"action", "update"}, {"file_path", "README.md"},
                                                          {"content", "server README\n"}}})}});
    ASSERT_EQ(server.status, 201);
    write_file(fs::path(work_) / "notes.txt", "uncommitted notes\n");

    sb.clear_journal();
    EXPECT_EQ(publish(), "GitError");
    EXPECT_EQ(head(), local);
    EXPECT_EQ(git(work_, {"show", "HEAD:README.md"}), "local README\n");
    EXPECT_EQ(read_file(fs::path(work_) / "notes.txt"), "uncommitted notes\n");
    git(work_, {"merge", "--abort"});
    EXPECT_EQ(read_file(fs::path(work_) / "README.md"), "local README\n");
    EXPECT_EQ(read_file(fs::path(work_) / "notes.txt"), "uncommitted notes\n");
    EXPECT_TRUE(requests(sb.journal(), "POST", commits_route()).empty());
}

// git refuses the local commit (a pre-commit hook): the changes stay in the working tree, staged.
TEST_F(KeepChanges, RefusedLocalCommitLeavesTheChangesInTheWorkingTree) {
    start("keep-hook");
    const fs::path hook = fs::path(work_) / ".git" / "hooks" / "pre-commit";
    write_file(hook, "#!/bin/sh\necho 'refused by policy' >&2\nexit 1\n");
    fs::permissions(hook, fs::perms::owner_all);
    change_locally("c");
    const auto before = head();
    EXPECT_EQ(publish(), "GitError");
    EXPECT_EQ(head(), before);
    expect_in_working_tree("c");
    fs::remove(hook);
    EXPECT_EQ(publish(), "returned");
    expect_published("c");
}

// The server refuses the commit, or the connection drops while it is sent: the local commit holds the
// change, and the next call publishes it exactly once.
TEST_F(KeepChanges, RefusedOrDroppedRequestKeepsTheLocalCommit) {
    start("keep-request");
    auto& sb = zorv_test::sandbox();
    int round = 0;
    for (const Json& fault : {Json{{"status", 400}, {"body", R"({"message":"A file with this name doesn't exist"})"}},
                              Json{{"action", "drop"}}, Json{{"action", "truncate"}, {"status", 201}, {"body", "{\"id\""}}}) {
        SCOPED_TRACE(fault.dump());
        const std::string tag = "r" + std::to_string(++round);
        change_locally(tag);
        Json rule = fault;
        rule.update({{"method", "POST"}, {"path", commits_route()}, {"times", 1}});
        sb.add_fault(rule);
        const auto result = publish();
        EXPECT_EQ(result, fault.contains("action") ? "ConnectionDroppedError" : "returned");
        expect_in_local_commit(tag);
        expect_in_working_tree(tag);
        const auto lines = ctx_.take_lines();
        if (!fault.contains("action")) {
            ASSERT_EQ(lines.size(), 3u);
            EXPECT_EQ(lines[1], "Failed to commit: " + fault["body"].get<std::string>());
        }
        sb.clear_journal();
        EXPECT_EQ(publish(), "returned");
        EXPECT_EQ(requests(sb.journal(), "POST", commits_route()).size(), 1u);
        expect_published(tag);
        expect_in_working_tree(tag);
        (void)ctx_.take_lines();
    }
}

// The commit is accepted but the fetch after it fails: the change is on the server and still in the
// local commit; the next call takes in the server's commit and has nothing left to send.
TEST_F(KeepChanges, FailedSecondFetchKeepsEverything) {
    start("keep-refetch");
    // The project lookup runs after the first fetch and before the request: the fault starts there.
    class BreakFetchAfterLookup : public RecordingContext {
    public:
        explicit BreakFetchAfterLookup(std::string route) : route_(std::move(route)) {}
        std::optional<Json> get_project_info(const std::string& name, std::int64_t group) override {
            zorv_test::sandbox().add_fault({{"path", route_}, {"status", 503}, {"body", "down"}, {"times", 0}});
            return RecordingContext::get_project_info(name, group);
        }

    private:
        std::string route_;
    } breaking(git_route());

    change_locally("d");
    EXPECT_EQ(publish(breaking), "GitError");
    zorv_test::sandbox().clear_faults();
    EXPECT_EQ(breaking.take_lines().back(), "Successfully committed");
    expect_published("d");
    expect_in_local_commit("d");
    expect_in_working_tree("d");

    zorv_test::sandbox().clear_journal();
    EXPECT_EQ(publish(), "returned");
    EXPECT_TRUE(requests(zorv_test::sandbox().journal(), "POST", commits_route()).empty());
    EXPECT_TRUE(ctx_.take_lines().empty());
    expect_in_working_tree("d");
    EXPECT_EQ(git(work_, {"diff", "HEAD", "origin/master", "--stat"}), "");
}

TEST_F(KeepChanges, HardFileNamesArriveUnchanged) {
    start("keep-names");
    const std::vector<std::string> names = {"sub dir/with space.txt", "quote's \"double\".txt", "new\nline.txt",
                                            "tab\there.txt",          "café ñ.txt",             "emoji 😀🚀.txt",
                                            "-leading-dash.txt",      "#hash %41 &amp +plus.txt", "back\\slash.txt",
                                            "?what.txt",              ".hidden",                "deep/a/b/c/d.txt"};
    for (const auto& name : names) write_file(fs::path(work_) / name, "content of " + name);
    EXPECT_EQ(publish(), "returned");
    const auto lines = ctx_.take_lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Successfully committed");
    auto& sb = zorv_test::sandbox();
    for (const auto& name : names) {
        SCOPED_TRACE(::testing::PrintToString(name));
        std::string encoded;
        for (const unsigned char c : name) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            encoded += std::isalnum(c) ? std::string(1, static_cast<char>(c)) : std::string(hex);
        }
        const auto raw = sb.api("GET", "projects/" + pid_ + "/repository/files/" + encoded + "/raw?ref=master");
        EXPECT_EQ(raw.status, 200);
        EXPECT_EQ(raw.body, "content of " + name);
    }
}

}  // namespace
