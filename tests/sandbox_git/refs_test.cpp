// The sandbox's in-process refs against git itself, over generated names and repository states:
// which names it accepts, what a branch or a short name resolves to, and what its lock-file
// compare-and-swap leaves in the repository, beside what git does with the same.
#include "git_twin.hpp"

#include <fstream>
#include <set>

namespace {

using namespace zorv_test::git_twin;  // NOLINT(google-build-using-namespace)
namespace object_files = zorv_sandbox::repo::object_files;

// Names git accepts and refuses: each rule of `git check-ref-format` at least once, and random
// joins of the pieces those rules are about.
std::vector<std::string> ref_names(Random& rng) {
    std::vector<std::string> names{
        "main", "feature/x", "a.b", "-x", "x-", "HEAD", "@", "a@b", "a@{b", "@{-1}", "a..b", "a/.b", ".a", "a.", "a./b",
        "a/", "/a", "a//b", "a.lock", "a.lock/b", "a/b.lock", "a.lockx", ".lock", "a b", "a~1", "a^", "a:b", "a?", "a*",
        "a[b", "a\\b", "a\x01" "b", "a\x7f", "a\x1f", "a\tb", "é/名", "\xff\xfe", "refs/heads/x", "refs", "heads/x",
        "a/./b", "a/../b", "...", "a{b}", "a@", "@a", "{", "}", "a/@/b", std::string(40, 'a'), std::string(64, 'b'),
        std::string(39, 'c'), std::string(40, 'A')};
    const std::vector<std::string> pieces{"a", "b", "0", ".", "/", "@", "{", "}", "-", "~", "^", ":", "?", "*", "[",
                                          "\\", " ", "\x01", "\x7f", ".lock", "é", "\xff", "HEAD", "refs/"};
    while (names.size() < 250) names.push_back(rng.join(1 + rng.below(6), pieces));
    return names;
}

TEST(RefNames, BranchAndTagNamesAsGitCheckRefFormatJudgesThem) {
    Random rng;
    SCOPED_TRACE(rng.trace());
    Repo r;
    for (const auto& name : ref_names(rng)) {
        SCOPED_TRACE("name \"" + name + "\"");
        // `git check-ref-format --branch` (which also refuses "HEAD" and a leading '-') prints the
        // branch it takes the name for; GitLab further keeps full object ids and names under refs/.
        const bool gitlab_keeps = object_files::is_object_id(name) || name.starts_with("refs/");
        const auto branch = r.ask({"check-ref-format", "--branch", name});
        EXPECT_EQ(r.git.valid_branch_name(name), branch == name && !gitlab_keeps);
        // `git tag` refuses a leading '-'; GitLab also "HEAD" and names under refs/.
        const bool tag = r.ask({"check-ref-format", "refs/tags/" + name}) && !name.starts_with('-');
        EXPECT_EQ(r.git.valid_tag_name(name), tag && name != "HEAD" && !name.starts_with("refs/"));
    }
}

// Every ref as git lists it (symbolic ones by the value they lead to).
std::map<std::string, std::string> gits_refs(const Repo& r) {
    std::map<std::string, std::string> refs;
    std::string out;
    r.git.git_status({"for-each-ref", "--format=%(refname)%00%(objectname)"}, &out);
    for (std::size_t at = 0; at < out.size();) {
        const auto nul = out.find('\0', at), end = out.find('\n', at);
        refs[out.substr(at, nul - at)] = out.substr(nul + 1, end - nul - 1);
        at = end + 1;
    }
    return refs;
}

TEST(RefLookups, BranchesAndShortNamesResolveAsGitResolvesThem) {
    Random rng;
    SCOPED_TRACE(rng.trace());
    Repo r;
    EXPECT_FALSE(r.git.has_commits());
    const std::vector<std::string> commits{r.commit("one"), r.commit("two"), r.commit("three")};
    const auto blob = r.git.write_blob("blob");
    const auto tag = r.git.make_tag_object("v1", commits[0], "annotated", {"T", "t@example.com"});
    r.git.git({"update-ref", "refs/tags/only-a-tag", commits[2]});
    EXPECT_EQ(r.git.has_commits(), !r.ask({"for-each-ref", "refs/heads"})->empty());

    // Branch names (those git refuses stay without a branch), many of them also given a ref in a
    // place git looks at before refs/heads/ for a short name ($GIT_DIR/<name>, refs/<name>,
    // refs/tags/<name>) or after it (refs/remotes/<name>), pointing at a commit, an annotated tag or
    // a blob; some packed, some loose, some both with different values.
    std::vector<std::string> names{"main", "x", "feature/x", "heads/x", "tags/x", "HEAD", "-x", "a.b", "é", "abc1234",
                                   "objects", "refs", "sym", commits[1].substr(0, 7)};
    const auto generated = ref_names(rng);
    names.insert(names.end(), generated.begin(), generated.begin() + 100);
    // Apart from those, a branch named like an object id in upper case, and one named like a full
    // ref that is packed.
    const std::vector<std::string> apart{std::string(40, 'F'), "refs/heads/packed"};
    r.git.git({"update-ref", "refs/heads/" + apart[0], commits[1]});
    r.git.git({"update-ref", "refs/heads/" + apart[1], commits[1]});
    r.git.git({"update-ref", apart[1], commits[2]});
    const std::vector<std::string> values{commits[0], commits[1], commits[2], tag, blob};
    std::set<std::string> packed;  // every name is a branch: packed, loose, or packed and then loose
    for (const bool pack : {true, false}) {
        for (const auto& name : names) {
            if (pack ? rng.chance(50) && packed.insert(name).second : !packed.contains(name) || rng.chance(30))
                r.git.git_status({"update-ref", "refs/heads/" + name, rng.pick(commits)});
            for (const std::string place : {"refs/", "refs/tags/", "refs/remotes/"})
                if (rng.chance(15)) r.git.git_status({"update-ref", place + name, rng.pick(values)});
            if (name.find('/') == std::string::npos && !fs::exists(r.dir / name) && rng.chance(10))
                r.git.git_status({"update-ref", name, rng.pick(values)});
        }
        if (pack) r.git.git({"pack-refs", "--all"});
        EXPECT_EQ(r.git.has_commits(), !r.ask({"for-each-ref", "refs/heads"})->empty());
    }
    names.insert(names.end(), apart.begin(), apart.end());
    // Symbolic branches, and branches shadowed by a symbolic ref in each earlier place.
    r.git.git({"update-ref", "refs/heads/main", commits[0]});
    r.git.git({"symbolic-ref", "refs/heads/sym", "refs/heads/main"});
    r.git.git({"symbolic-ref", "refs/heads/dangling", "refs/heads/nowhere"});
    for (const auto& [place, name] : std::map<std::string, std::string>{
             {"SHADOWED", "SHADOWED"}, {"refs/shadowed", "shadowed"}, {"refs/tags/tag/shadowed", "tag/shadowed"}}) {
        r.git.git({"update-ref", "refs/heads/" + name, commits[1]});
        r.git.git({"symbolic-ref", place, "refs/heads/main"});
        names.push_back(name);
    }
    const auto refs = gits_refs(r);
    std::vector<std::string> branches;
    for (const auto& [ref, value] : refs)
        if (ref.starts_with("refs/heads/")) branches.push_back(ref.substr(11));
    for (const auto& head : {rng.pick(branches), std::string("sym")}) {
        r.git.set_head_branch(head);
        EXPECT_EQ("refs/heads/" + r.git.head_branch().value_or("?"), r.ask({"symbolic-ref", "HEAD"}));
    }

    auto revisions = names;
    for (const std::string rev : {"x~1", "x^", "main@{0}", "@", "HEAD", "dangling", "nowhere", "v1", "only-a-tag"})
        revisions.push_back(rev);
    for (const auto& id : {commits[0], commits[0].substr(0, 10), blob, tag}) revisions.push_back(id);
    for (const auto& rev : revisions) {
        SCOPED_TRACE("revision \"" + rev + "\"");
        const auto commit = r.ask({"rev-parse", "--verify", "--quiet", rev + "^{commit}"});  // "^<id>" for "^{"
        EXPECT_EQ(r.git.resolve_commit(rev), commit && object_files::is_object_id(*commit) ? commit : std::nullopt);
        const auto branch = refs.find("refs/heads/" + rev);
        EXPECT_EQ(r.git.branch_head(rev), branch == refs.end() ? std::nullopt : std::optional(branch->second));
    }
    // A commit is its own ancestor; whatever is not a commit is no one's.
    const std::vector<std::string> objects{commits[0], "main", commits[0].substr(0, 10), blob, tag,
                                           std::string(40, 'e')};
    for (const auto& rev : objects) {
        SCOPED_TRACE("revision \"" + rev + "\"");
        EXPECT_EQ(r.git.is_ancestor(rev, rev), r.ask({"merge-base", "--is-ancestor", rev, rev}).has_value());
    }
}

// What a reader sees of a repository's refs: loose ref files (with any lock file left behind),
// packed-refs, and of each reflog the old and new value of its entries (not their time).
std::map<std::string, std::string> ref_state(const Repo& r) {
    auto state = snapshot(r.dir, "refs");
    state["packed-refs"] = object_files::read_file(r.dir / "packed-refs").value_or("");
    for (const auto& [path, file] : snapshot(r.dir, "logs")) {
        const std::string log = file.substr(file.find(' ') + 1);
        std::string& entries = state[path];
        for (std::size_t at = 0; at < log.size(); at = log.find('\n', at) + 1) {
            entries += log.substr(at, 81) + '\n';
            if (log.find('\n', at) == std::string::npos) break;
        }
    }
    return state;
}

TEST(RefUpdates, CompareAndSwapLeavesWhatGitUpdateRefLeaves) {
    Random rng;
    SCOPED_TRACE(rng.trace());
    const std::vector<std::string> refs{"refs/heads/a",     "refs/heads/a/b", "refs/heads/c", "refs/heads/x.y/é",
                                        "refs/tags/t",      "refs/heads/sym", "refs/heads/a..b", "refs/heads/b.lock"};
    const std::string zeros(40, '0');
    for (const std::string setup : {"loose refs", "a reflog", "logAllRefUpdates", "packed refs"}) {
        SCOPED_TRACE(setup);
        Repo mine, gits;  // written by the sandbox; by git update-ref
        std::vector<std::string> values;
        for (const auto* r : {&mine, &gits}) {
            values = {r->commit("1"), r->commit("2"), r->commit("3")};
            if (setup == "a reflog") r->git.git({"update-ref", "--create-reflog", "refs/heads/c", values[0]});
            if (setup == "logAllRefUpdates") r->git.git({"config", "core.logAllRefUpdates", "true"});
            if (setup == "packed refs") {
                r->git.git({"update-ref", "refs/heads/c", values[0]});
                r->git.git({"update-ref", "refs/tags/t", values[1]});
                r->git.git({"pack-refs", "--all"});
            }
        }
        std::size_t in_process = 0;
        for (int step = 0, steps = setup == "loose refs" ? 60 : 25; step < steps; ++step) {
            // The first step creates a ref, which the setup may leave to git.
            const auto& ref = step == 0 ? refs[0] : rng.pick(refs);
            const auto current = gits.ask({"rev-parse", "--verify", "--quiet", ref});
            const auto value = rng.pick(values);
            const auto expected = rng.chance(60) ? current.value_or("") : rng.chance(50) ? "" : rng.pick(values);
            SCOPED_TRACE("step " + std::to_string(step) + ": " + ref + " from " + expected + " to " + value);
            const auto kind = step == 0 ? 9 : rng.below(10);
            if (kind == 0) {  // another writer holds the ref's lock
                for (const auto* r : {&mine, &gits}) {
                    std::error_code ec;
                    fs::create_directories((r->dir / ref).parent_path(), ec);
                    std::ofstream lock(r->dir / (ref + ".lock"));
                }
            } else if (kind == 1 && current) {
                EXPECT_EQ(mine.git.delete_ref(ref, *current), gits.git.delete_ref(ref, *current));
            } else if (kind == 2) {
                const std::string target = rng.chance(50) ? "refs/heads/a" : "refs/heads/c";
                for (const auto* r : {&mine, &gits}) r->git.git({"symbolic-ref", "refs/heads/sym", target});
            }
            const auto quick = object_files::update_ref(mine.dir, ref, value, expected);
            in_process += quick != object_files::RefUpdate::ask_git;
            const bool done = quick == object_files::RefUpdate::ask_git ? mine.git.update_ref(ref, value, expected)
                                                                        : quick == object_files::RefUpdate::done;
            EXPECT_EQ(done, gits.git.git_status({"update-ref", "-m", "sandbox", ref, value,
                                                 expected.empty() ? zeros : expected}) == 0);
            EXPECT_EQ(ref_state(mine), ref_state(gits));
            if (kind == 0) {
                std::error_code ec;
                for (const auto* r : {&mine, &gits}) fs::remove(r->dir / (ref + ".lock"), ec);
            }
        }
        EXPECT_TRUE(setup != "loose refs" || in_process > 10) << in_process << " updates in process";
    }
}

}  // namespace
