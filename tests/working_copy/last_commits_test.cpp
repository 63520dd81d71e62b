// The last commit of each path, found in one walk of the history, must be what `git log -1 <tip> --
// <path>` says (GitLab asks git the same): checked for every path of a history that has merges of
// each kind (clean, evil, octopus, taking either side), mode-only changes, a folder that became a
// file, a file deleted and added again, and names git quotes; and in a shallow clone of it, where
// paths whose history goes past the clone's end have no answer.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "test_helpers.hpp"
#include "working_copy/git_runner.hpp"
#include "working_copy/last_commits.hpp"

namespace {

namespace fs = std::filesystem;
namespace wc = zorv_git_gitlab::working_copy;
using zorv_test::git;
using zorv_test::TempDir;

void write(const fs::path& dir, const std::string& name, const std::string& text) {
    fs::create_directories((dir / name).parent_path());
    std::ofstream(dir / name, std::ios::binary) << text;
}

void commit(const fs::path& dir, const std::string& message) {
    git(dir, {"add", "-A"});
    git(dir, {"commit", "-q", "--allow-empty", "-m", message});
}

const std::string kNewline = "new\nline.txt";

// A history whose merges take each path from a different side.
void build(const fs::path& dir) {
    git(dir, {"init", "-q", "-b", "main"});
    git(dir, {"config", "user.name", "T"});
    git(dir, {"config", "user.email", "t@example.com"});
    for (const std::string name : {"a.txt", "b.txt", "dir/c.txt", "run.sh", "keep.txt", "sp ace.txt", "q\"uote.txt",
                                   "d/inner.txt", "gone.txt", "same.txt"}) {
        write(dir, name, name + " 1\n");
    }
    write(dir, kNewline, "1\n");
    commit(dir, "root");
    write(dir, "a.txt", "a 2\n");
    commit(dir, "a on main");

    git(dir, {"switch", "-q", "-c", "side"});
    write(dir, "b.txt", "b side\n");
    write(dir, kNewline, "side\n");
    write(dir, "same.txt", "both\n");
    commit(dir, "side changes b, the newline file, same");
    fs::permissions(dir / "run.sh", fs::perms::owner_exec, fs::perm_options::add);
    commit(dir, "side makes run.sh executable");

    git(dir, {"switch", "-q", "main"});
    write(dir, "dir/c.txt", "c main\n");
    write(dir, "same.txt", "both\n");  // the same change on both sides
    fs::remove(dir / "gone.txt");
    commit(dir, "main changes c, same, removes gone");
    git(dir, {"merge", "-q", "--no-edit", "side"});  // b, run.sh, the newline file from the second parent

    // An evil merge: a.txt ends up unlike either parent.
    git(dir, {"switch", "-q", "-c", "evil", "main~1"});
    write(dir, "keep.txt", "keep.txt 1\n");
    write(dir, "e.txt", "e\n");
    commit(dir, "evil side adds e");
    git(dir, {"switch", "-q", "main"});
    git(dir, {"merge", "-q", "--no-commit", "evil"});
    write(dir, "a.txt", "a evil\n");
    git(dir, {"add", "a.txt"});
    git(dir, {"commit", "-q", "--no-edit"});

    // An octopus merge of two branches that change different files.
    for (const std::string branch : {"o1", "o2"}) {
        git(dir, {"switch", "-q", "-c", branch, "main"});
        write(dir, branch + ".txt", branch + "\n");
        write(dir, "sp ace.txt", branch == "o1" ? "sp ace 1\n" : "sp ace.txt 1\n");
        commit(dir, branch);
    }
    git(dir, {"switch", "-q", "main"});
    git(dir, {"merge", "-q", "--no-ff", "--no-edit", "o1", "o2"});

    // A folder becomes a file; a removed file comes back.
    fs::remove_all(dir / "d");
    write(dir, "d", "now a file\n");
    write(dir, "gone.txt", "back\n");
    commit(dir, "d is a file, gone is back");
    write(dir, "q\"uote.txt", "quoted 2\n");
    commit(dir, "quote changed");
}

std::vector<std::string> paths_at(const fs::path& dir, const std::string& rev) {
    const std::string listed = git(dir, {"ls-tree", "-r", "-z", "--name-only", rev});
    std::vector<std::string> out;
    for (std::size_t start = 0; start < listed.size();) {
        const auto end = listed.find('\0', start);
        out.push_back(listed.substr(start, end - start));
        start = end == std::string::npos ? listed.size() : end + 1;
    }
    return out;
}

std::string git_log_last(const fs::path& dir, const std::string& tip, const std::string& path) {
    return git(dir, {"--literal-pathspecs", "log", "-1", "--format=%H", tip, "--", path});
}

TEST(LastCommits, AreWhatGitLogSaysForEveryPathOfATangledHistory) {
    TempDir tmp;
    const fs::path dir = tmp.path() / "repo";
    fs::create_directories(dir);
    build(dir);
    const wc::GitRunner runner(dir, {}, {}, {});
    const std::string tip = git(dir, {"rev-parse", "HEAD"});
    const auto paths = paths_at(dir, tip);
    ASSERT_GE(paths.size(), 14u);

    // The history is as tangled as meant: git names the evil merge for a.txt, and for b.txt a commit
    // reached through a merge's second parent.
    ASSERT_EQ(git_log_last(dir, tip, "a.txt"), git(dir, {"rev-parse", ":/Merge branch 'evil'"}));
    ASSERT_EQ(git(dir, {"log", "-1", "--format=%s", git_log_last(dir, tip, "b.txt")}),
              "side changes b, the newline file, same");

    const auto found = wc::last_commits(runner, tip, paths, {});
    std::set<std::string> answers;
    for (const auto& path : paths) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(found.contains(path));
        EXPECT_EQ(found.at(path), git_log_last(dir, tip, path));
        answers.insert(found.at(path));
    }
    EXPECT_GE(answers.size(), 9u);

    // From an older tip, and for a path that is not there (its last commit is the one that removed it).
    const std::string older = git(dir, {"rev-parse", ":/evil side adds e"});
    const auto before = wc::last_commits(runner, older, {"gone.txt", "a.txt", "d/inner.txt"}, {});
    for (const std::string path : {"gone.txt", "a.txt", "d/inner.txt"}) {
        EXPECT_EQ(before.at(path), git_log_last(dir, older, path)) << path;
    }
}

TEST(LastCommits, AShallowCloneAnswersOnlyWithinItsDepth) {
    TempDir tmp;
    const fs::path full = tmp.path() / "full";
    fs::create_directories(full);
    build(full);
    const fs::path shallow = tmp.path() / "shallow";
    git(tmp.path(), {"clone", "-q", "--depth", "3", "file://" + full.string(), shallow.string()});
    std::set<std::string> boundary;
    std::ifstream in(shallow / ".git" / "shallow");
    for (std::string line; std::getline(in, line);) boundary.insert(line);
    ASSERT_FALSE(boundary.empty());

    const wc::GitRunner runner(shallow, {}, {}, {});
    const std::string tip = git(shallow, {"rev-parse", "HEAD"});
    const auto found = wc::last_commits(runner, tip, paths_at(shallow, tip), boundary);
    // The two newest commits changed q"uote.txt, d and gone.txt; every other path goes back to the
    // clone's end (the octopus merge), which cannot tell whether it changed them.
    EXPECT_EQ(found.size(), 3u);
    for (const auto& [path, last] : found) EXPECT_EQ(last, git_log_last(full, tip, path)) << path;
    EXPECT_TRUE(found.contains("q\"uote.txt"));
}

TEST(LastCommits, QuotedNamesAreUndoneAsGitWritesThem) {
    EXPECT_EQ(wc::unquote_path("plain name.txt"), "plain name.txt");
    EXPECT_EQ(wc::unquote_path(R"("new\nline")"), "new\nline");
    EXPECT_EQ(wc::unquote_path(R"("q\"uote\\back\ttab")"), "q\"uote\\back\ttab");
    EXPECT_EQ(wc::unquote_path(R"("caf\303\251")"), "caf\xc3\xa9");
    EXPECT_EQ(wc::unquote_path(R"("\a\b\f\r\v\001")"), "\a\b\f\r\v\001");
}

}  // namespace
