// clone_project and commit_project with real git working copies against the sandbox: what reaches
// the server is checked by cloning its branch again and comparing trees (paths, modes, objects).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "sandbox_fixture.hpp"
#include "test_helpers.hpp"
#include "zorv_git/process.hpp"
#include "zorv_git_gitlab/errors.hpp"
#include "zorv_git_gitlab/operations.hpp"

namespace fs = std::filesystem;
namespace z = zorv_git_gitlab;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::Not;

namespace {

using zorv_test::Capture;
using zorv_test::git;
using zorv_test::TempDir;

// Sets an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_) ::setenv(name_, old_->c_str(), 1);
        else ::unsetenv(name_);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

void write_file(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::string random_bytes(std::size_t n) {
    std::mt19937 gen(42);
    std::string out(n, '\0');
    for (auto& c : out) c = static_cast<char>(gen() & 0xff);
    return out;
}

void make_executable(const fs::path& path, bool on) {
    const auto bits = fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
    fs::permissions(path, bits, on ? fs::perm_options::add : fs::perm_options::remove);
}

std::vector<zorv_test::Json> api_posts() {
    std::vector<zorv_test::Json> out;
    for (const auto& entry : zorv_test::sandbox().journal()) {
        if (entry["method"] == "POST" && entry["path"].get<std::string>().starts_with("/api/v4/")) out.push_back(entry);
    }
    return out;
}

// A project of its own group, seeded through the commits API with `actions` on master; the journal
// is cleared afterwards.
struct Project {
    std::string name;
    std::int64_t group = 0;
    std::int64_t id = 0;
};

Project make_project(const std::string& name, const std::vector<zorv_test::Json>& actions) {
    auto& sb = zorv_test::sandbox();
    const auto group = sb.api("POST", "groups", {{"name", name}, {"path", name}});
    EXPECT_EQ(group.status, 201) << group.body;
    Project p{name, group.json["id"].get<std::int64_t>(), 0};
    const auto project = sb.api("POST", "projects", {{"name", name}, {"path", name}, {"namespace_id", p.group}});
    EXPECT_EQ(project.status, 201) << project.body;
    p.id = project.json["id"].get<std::int64_t>();
    const auto commit = sb.api("POST", "projects/" + std::to_string(p.id) + "/repository/commits",
                               {{"branch", "master"}, {"commit_message", "seed"}, {"actions", zorv_test::Json(actions)}});
    EXPECT_EQ(commit.status, 201) << commit.body;
    sb.clear_journal();
    return p;
}

zorv_test::Json create(const std::string& path, const std::string& content, bool executable = false) {
    return {{"action", "create"}, {"file_path", path}, {"content", content}, {"execute_filemode", executable}};
}

// "mode type object<TAB>path" lines of a commit's whole tree.
std::string tree(const fs::path& dir, const std::string& rev = "HEAD") { return git(dir, {"ls-tree", "-r", rev}); }

std::string server_tree(Capture& ctx, const Project& p, const std::string& branch = "master") {
    TempDir fresh;
    z::ops::clone_project(ctx, fresh / "copy", p.name, p.group, true, branch);
    return tree(fresh / "copy");
}

class WorkingCopy : public testing::Test {
protected:
    void SetUp() override {
        zorv_test::sandbox().clear_faults();
        zorv_test::sandbox().clear_journal();
    }
    void TearDown() override { zorv_test::sandbox().clear_faults(); }

    // A fresh clone of the project's master into the test's directory.
    fs::path clone(Capture& ctx, const Project& p) {
        const fs::path dir = tmp_ / "wc";
        z::ops::clone_project(ctx, dir.string(), p.name, p.group);
        return dir;
    }

    TempDir tmp_;
};

}  // namespace

TEST_F(WorkingCopy, CloneChecksItsTargetDirectoryFirst) {
    const auto p = make_project("clone-targets", {create("README.md", "hello\n")});
    zorv_test::sandbox().api("POST", "projects/" + std::to_string(p.id) + "/repository/branches?branch=dev&ref=master");
    Capture ctx;

    // A missing directory, and an empty one: cloned without clearing anything.
    EXPECT_EQ(z::ops::clone_project(ctx, tmp_ / "missing/deeper", p.name, p.group), tmp_ / "missing/deeper");
    EXPECT_EQ(read_file(tmp_.path() / "missing/deeper/README.md"), "hello\n");
    fs::create_directory(tmp_.path() / "empty");
    z::ops::clone_project(ctx, tmp_ / "empty", p.name, p.group, false);
    EXPECT_EQ(git(tmp_.path() / "empty", {"rev-parse", "--abbrev-ref", "HEAD"}), "master");

    // A directory holding only a hidden entry is not empty: refused before any request.
    write_file(tmp_.path() / "hidden/.keep", "x");
    zorv_test::sandbox().clear_journal();
    try {
        z::ops::clone_project(ctx, tmp_ / "hidden", p.name, p.group, false);
        ADD_FAILURE() << "no error";
    } catch (const z::DirectoryNotEmptyError& e) {
        EXPECT_EQ(std::string(e.what()), tmp_ / "hidden" + " is not empty!");
    }
    EXPECT_TRUE(zorv_test::sandbox().journal().empty());
    EXPECT_EQ(read_file(tmp_.path() / "hidden/.keep"), "x");

    // With overwrite the old content goes, and the branch asked for is checked out.
    z::ops::clone_project(ctx, tmp_ / "hidden", p.name, p.group, true, "dev");
    EXPECT_FALSE(fs::exists(tmp_.path() / "hidden/.keep"));
    EXPECT_EQ(git(tmp_.path() / "hidden", {"rev-parse", "--abbrev-ref", "HEAD"}), "dev");
    EXPECT_EQ(git(tmp_.path() / "hidden", {"remote", "get-url", "origin"}),
              "https://" + zorv_test::sandbox().host() + "/" + p.name + "/" + p.name + ".git");

    EXPECT_THROW(z::ops::clone_project(ctx, tmp_ / "none", "no-such-project", p.group), z::ProjectNotFoundError);
    EXPECT_THROW(z::ops::clone_project(ctx, tmp_ / "nobranch", p.name, p.group, true, "no-such-branch"), z::GitError);
}

TEST_F(WorkingCopy, PublishesEveryKindOfChangeWithContentAndModesFromTheLocalCommit) {
    const std::string long_text(4000, 'r');
    const auto p = make_project("every-change", {create("a.txt", "one\n"), create("old.txt", "old\n"),
                                                 create("sub/moved.txt", long_text), create("run.sh", "#!/bin/sh\n"),
                                                 create("tool.sh", "#!/bin/sh\n", true), create("both.sh", "v1\n")});
    Capture ctx;
    const fs::path wc = clone(ctx, p);
    const int before = std::stoi(git(wc, {"rev-list", "--count", "HEAD"}));

    write_file(wc / "a.txt", "two\n");                          // modified
    fs::remove(wc / "old.txt");                                  // deleted
    fs::create_directories(wc / "sub/deeper");                  // renamed into a subfolder
    fs::rename(wc / "sub/moved.txt", wc / "sub/deeper/moved.txt");
    make_executable(wc / "run.sh", true);                        // mode only
    make_executable(wc / "tool.sh", false);                      // mode only, the other way
    write_file(wc / "both.sh", "v2\n");                          // content and mode
    make_executable(wc / "both.sh", true);
    const std::string binary = random_bytes(300 * 1024 + 1);  // several chunks of the streamed body
    write_file(wc / "blob.bin", binary);
    write_file(wc / "empty.txt", "");
    write_file(wc / "dir with space/naïve ü.txt", "unicode\n");
    write_file(wc / "new.sh", "#!/bin/sh\necho new\n");
    make_executable(wc / "new.sh", true);

    z::ops::commit_project(ctx, wc.string(), "every kind", p.name, "master", p.group, "Ann Author", "ann@example.com");
    EXPECT_THAT(ctx.lines, ElementsAre(std::to_string(before + 1), "Successfully committed"));

    // The request: payload keys in order, and a mode-only change travels as a chmod action alone.
    const auto posts = api_posts();
    ASSERT_EQ(posts.size(), 1u);
    const auto body = zorv_test::Json::parse(posts[0]["body"].get<std::string>());
    std::vector<std::string> keys;
    for (const auto& [key, value] : body.items()) keys.push_back(key);
    EXPECT_THAT(keys, ElementsAre("branch", "commit_message", "actions", "author_name", "author_email"));
    std::vector<std::string> summary;
    for (const auto& action : body["actions"]) {
        summary.push_back(action["action"].get<std::string>() + " " + action["file_path"].get<std::string>());
    }
    EXPECT_THAT(summary, ElementsAre("update a.txt", "update both.sh", "chmod both.sh", "chmod run.sh", "chmod tool.sh",
                                     "create blob.bin", "create dir with space/naïve ü.txt", "create empty.txt",
                                     "create new.sh", "chmod new.sh", "delete old.txt", "delete sub/moved.txt",
                                     "create sub/deeper/moved.txt"));

    // The server's branch equals the local commit, modes included; the working copy took it in.
    const std::string expected = tree(wc, "HEAD^1");
    EXPECT_EQ(server_tree(ctx, p), expected);
    EXPECT_EQ(tree(wc), expected);
    EXPECT_THAT(expected, HasSubstr("100755 blob"));
    EXPECT_EQ(git(wc, {"status", "--porcelain"}), "");
    EXPECT_EQ(git(wc, {"rev-parse", "HEAD^{tree}"}), git(wc, {"rev-parse", "origin/master^{tree}"}));
    EXPECT_EQ(git(wc, {"log", "-1", "--format=%an <%ae>", "origin/master"}), "Ann Author <ann@example.com>");
    EXPECT_EQ(read_file(wc / "blob.bin"), binary);
}

TEST_F(WorkingCopy, NothingToCommitDoesNothing) {
    const auto p = make_project("nothing", {create("a.txt", "same\n")});
    Capture ctx;
    const fs::path wc = clone(ctx, p);
    const std::string head = git(wc, {"rev-parse", "HEAD"});
    write_file(wc / "a.txt", "same\n");  // rewritten with the same bytes
    zorv_test::sandbox().clear_journal();

    z::ops::commit_project(ctx, wc.string(), "nothing", p.name, "master", p.group);
    EXPECT_TRUE(ctx.lines.empty());
    EXPECT_EQ(git(wc, {"rev-parse", "HEAD"}), head);
    for (const auto& entry : zorv_test::sandbox().journal()) {
        EXPECT_THAT(entry["path"].get<std::string>(), Not(HasSubstr("/api/v4/"))) << entry.dump();
    }
}

TEST_F(WorkingCopy, RefusedCommitKeepsTheLocalCommitAndALaterCallPublishesIt) {
    const auto p = make_project("refused", {create("a.txt", "one\n"), create("gone.txt", "x\n"), create("m.sh", "m\n")});
    Capture ctx;
    const fs::path wc = clone(ctx, p);
    const std::string server_before = server_tree(ctx, p);
    write_file(wc / "a.txt", "two\n");
    write_file(wc / "it's \"q\"\t.txt", "quotes\n");
    write_file(wc / "don't.txt", "apostrophe\n");
    fs::remove(wc / "gone.txt");
    make_executable(wc / "m.sh", true);
    zorv_test::sandbox().add_fault({{"method", "POST"},
                                    {"path", "^/api/v4/projects/[0-9]+/repository/commits$"},
                                    {"status", 400},
                                    {"body", R"({"message":"refused by rule"})"}});

    z::ops::commit_project(ctx, wc.string(), "first try", p.name, "master", p.group, "Only Name", "");
    EXPECT_THAT(ctx.lines, ElementsAre("2", R"(Failed to commit: {"message":"refused by rule"})",
                                       R"({'a.txt': 'update', 'm.sh': 'chmod', "don't.txt": 'create', )"
                                       R"('it\'s "q"\t.txt': 'create', 'gone.txt': 'delete'})"));
    EXPECT_EQ(git(wc, {"log", "-1", "--format=%s"}), "first try");
    EXPECT_EQ(read_file(wc / "a.txt"), "two\n");
    EXPECT_EQ(server_tree(ctx, p), server_before);
    const auto posts = api_posts();
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_THAT(posts[0]["body"].get<std::string>(), Not(HasSubstr("author_")));

    // The local commit of the first try holds the changes: no empty one is made on top of it.
    ctx.lines.clear();
    z::ops::commit_project(ctx, wc.string(), "second try", p.name, "master", p.group);
    EXPECT_THAT(ctx.lines, ElementsAre("2", "Successfully committed"));
    EXPECT_EQ(git(wc, {"log", "-1", "--format=%s", "HEAD^1"}), "first try");
    EXPECT_EQ(server_tree(ctx, p), tree(wc));
    EXPECT_THAT(tree(wc), HasSubstr("don't.txt"));
}

TEST_F(WorkingCopy, ActiveBranchOtherThanTheRemoteBranch) {
    const auto p = make_project("branches", {create("a.txt", "one\n")});
    auto& sb = zorv_test::sandbox();
    ASSERT_EQ(sb.api("POST", "projects/" + std::to_string(p.id) + "/repository/branches?branch=release&ref=master").status,
              201);
    Capture ctx;
    const fs::path wc = clone(ctx, p);

    // origin/master is merged into the active branch, then master is checked out and takes in
    // origin/master too, so the server's newer file is kept, not published as a deletion.
    git(wc, {"switch", "-c", "topic"});
    sb.api("POST", "projects/" + std::to_string(p.id) + "/repository/commits",
           {{"branch", "master"}, {"commit_message", "server side"}, {"actions", zorv_test::Json::array({create("server.txt", "s\n")})}});
    write_file(wc / "local.txt", "l\n");
    z::ops::commit_project(ctx, wc.string(), "from topic", p.name, "master", p.group);
    EXPECT_EQ(git(wc, {"rev-parse", "--abbrev-ref", "HEAD"}), "master");
    EXPECT_EQ(git(wc, {"rev-parse", "topic"}), git(wc, {"rev-parse", "origin/master~1"}));  // the merge went there
    EXPECT_EQ(git(wc, {"log", "-1", "--format=%s", "HEAD^1"}), "from topic");
    EXPECT_EQ(server_tree(ctx, p), tree(wc, "HEAD^1"));
    EXPECT_THAT(server_tree(ctx, p), HasSubstr("local.txt"));
    EXPECT_THAT(server_tree(ctx, p), HasSubstr("server.txt"));

    // No local branch of the remote branch's name: a git error before anything is staged or sent.
    write_file(wc / "later.txt", "x\n");
    sb.clear_journal();
    EXPECT_THROW(z::ops::commit_project(ctx, wc.string(), "m", p.name, "release", p.group), z::GitError);
    EXPECT_EQ(git(wc, {"diff", "--cached", "--name-only"}), "");
    EXPECT_TRUE(api_posts().empty());
}

TEST_F(WorkingCopy, SymbolicLinkIsRefusedBeforeAnyRequest) {
    const auto p = make_project("symlink", {create("a.txt", "one\n")});
    Capture ctx;
    const fs::path wc = clone(ctx, p);
    write_file(wc / "b.txt", "b\n");
    fs::create_symlink("/etc/hostname", wc / "link");
    zorv_test::sandbox().clear_journal();
    try {
        z::ops::commit_project(ctx, wc.string(), "with link", p.name, "master", p.group);
        ADD_FAILURE() << "no error";
    } catch (const z::UnpublishableChangeError& e) {
        EXPECT_THAT(e.what(), HasSubstr("link (symbolic link)"));
    }
    EXPECT_EQ(git(wc, {"log", "-1", "--format=%s"}), "with link");
    for (const auto& entry : zorv_test::sandbox().journal()) {
        EXPECT_THAT(entry["path"].get<std::string>(), Not(HasSubstr("/api/v4/"))) << entry.dump();
    }

    // A link that reached the server another way (a push), replaced locally by a file, is published
    // as that file (the server would keep the entry a link under a plain update).
    const auto& sb = zorv_test::sandbox();
    git(wc, {"push", "-q", "https://oauth2:" + sb.token() + "@" + sb.host() + "/" + p.name + "/" + p.name + ".git",
             "HEAD:master"});
    fs::remove(wc / "link");
    write_file(wc / "link", "now a file\n");
    ctx.lines.clear();
    z::ops::commit_project(ctx, wc.string(), "file again", p.name, "master", p.group);
    EXPECT_THAT(ctx.lines, ElementsAre("3", "Successfully committed"));
    EXPECT_EQ(server_tree(ctx, p), tree(wc, "HEAD^1"));
    EXPECT_THAT(tree(wc, "HEAD^1"), HasSubstr("100644 blob " + git(wc, {"hash-object", "link"}) + "\tlink"));
}

TEST_F(WorkingCopy, IdentityFallbackOnlyWhereGitHasNone) {
    const auto p = make_project("identity", {create("a.txt", "one\n")});
    Capture ctx;
    const fs::path wc = clone(ctx, p);

    git(wc, {"config", "user.name", "Configured Person"});
    git(wc, {"config", "user.email", "configured@example.com"});
    write_file(wc / "b.txt", "b\n");
    z::ops::commit_project(ctx, wc.string(), "configured", p.name, "master", p.group, "Api Author", "api@example.com");
    EXPECT_EQ(git(wc, {"log", "-1", "--format=%an <%ae>", "HEAD^1"}), "Configured Person <configured@example.com>");

    // No identity anywhere (an empty home, no system configuration, no guessing allowed).
    git(wc, {"config", "--unset", "user.name"});
    git(wc, {"config", "--unset", "user.email"});
    git(wc, {"config", "user.useConfigOnly", "true"});
    const ScopedEnv home("HOME", tmp_.path().string());
    const ScopedEnv xdg("XDG_CONFIG_HOME", tmp_ / "xdg");
    const ScopedEnv nosystem("GIT_CONFIG_NOSYSTEM", "1");
    write_file(wc / "c.txt", "c\n");
    z::ops::commit_project(ctx, wc.string(), "fallback", p.name, "master", p.group);
    EXPECT_EQ(git(wc, {"log", "-1", "--format=%an <%ae>", "HEAD^1"}), "zorv_git_gitlab <zorv_git_gitlab@localhost>");
    EXPECT_EQ(git(wc, {"log", "-1", "--format=%s", "origin/master"}), "fallback");
}

TEST_F(WorkingCopy, TokenAppearsNowhere) {
    auto& sb = zorv_test::sandbox();
    const std::string token = sb.create_user("wc-token-user", "Token User", true)["token"].get<std::string>();
    ASSERT_GE(token.size(), 8u);
    const ScopedEnv env_token("GITLAB_TOKEN", token);
    // Every git the library starts records its command line.
    const fs::path bin = tmp_.path() / "bin";
    const fs::path argv_log = tmp_.path() / "argv.log";
    write_file(bin / "git", "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + argv_log.string() + "'\nexec /usr/bin/git \"$@\"\n");
    make_executable(bin / "git", true);
    const ScopedEnv path("PATH", bin.string() + ":" + std::getenv("PATH"));

    const auto p = make_project("token-check", {create("a.txt", "one\n")});
    Capture ctx(token);
    const fs::path wc = clone(ctx, p);
    write_file(wc / "a.txt", "two\n");
    write_file(wc / "big.txt", std::string(2 << 20, 'x'));  // over 1 MiB: read through git cat-file
    z::ops::commit_project(ctx, wc.string(), "with token", p.name, "master", p.group);
    EXPECT_THAT(ctx.lines, ElementsAre("2", "Successfully committed"));

    // A failing fetch whose trace shows the request headers: git's message is passed on redacted.
    std::string message;
    {
        const ScopedEnv trace("GIT_TRACE_CURL", "1");
        const ScopedEnv unredacted("GIT_TRACE_REDACT", "0");
        git(wc, {"remote", "set-url", "origin", "https://" + sb.host() + "/no/such.git"});
        write_file(wc / "a.txt", "three\n");
        try {
            z::ops::commit_project(ctx, wc.string(), "m", p.name, "master", p.group);
            ADD_FAILURE() << "no error";
        } catch (const z::GitError& e) {
            message = e.what();
        }
    }
    EXPECT_THAT(message, HasSubstr("git fetch origin"));
    EXPECT_THAT(message, HasSubstr("Authorization: Basic [REDACTED]"));

    // Without a clone token the clone goes out without credentials: refused, and git never waits for
    // a password. Its request carries no Authorization header (and so no "None" in place of a token).
    {
        struct NoCloneToken : Capture {
            using Capture::Capture;
            [[nodiscard]] std::optional<std::string> clone_token() const override { return std::nullopt; }
        } anonymous(token);
        sb.clear_journal();
        EXPECT_THROW(z::ops::clone_project(anonymous, tmp_ / "anonymous", p.name, p.group), z::GitError);
        bool git_request = false;
        for (const auto& entry : sb.journal()) {
            if (!entry["path"].get<std::string>().ends_with("/info/refs")) continue;
            git_request = true;
            EXPECT_FALSE(entry["headers"].contains("Authorization")) << entry.dump();
        }
        EXPECT_TRUE(git_request);
    }

    const std::string argv_text = read_file(argv_log);
    EXPECT_THAT(argv_text, HasSubstr("clone"));
    EXPECT_THAT(argv_text, HasSubstr("cat-file --batch"));
    for (const auto& text : {message, argv_text, read_file(wc / ".git/config"), testing::PrintToString(ctx.lines)}) {
        EXPECT_THAT(text, Not(HasSubstr(token)));
    }
}
