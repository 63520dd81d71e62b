// The sandbox's in-process object code against git itself, over generated inputs: the blobs it
// writes (loose or one pack with its index) are the objects git writes and reads back, and every
// commit record it reads from a loose object is what git prints, or is left to git.
#include "git_twin.hpp"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <functional>
#include <set>

namespace {

using namespace zorv_test::git_twin;  // NOLINT(google-build-using-namespace)
namespace object_files = zorv_sandbox::repo::object_files;

void write_bytes(const fs::path& file, std::string_view bytes) {
    std::ofstream out(file, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << file;
}

std::string joined(const std::vector<std::string>& items, std::string_view separator) {
    std::string out;
    for (const auto& item : items) out += (out.empty() ? "" : std::string(separator)) + item;
    return out;
}

// Blob contents around the sizes where the formats change (a pack entry's size takes one more byte
// after 15, 2047 and 262143 bytes; zlib's window is 32 KiB, its stream 16 KiB at a time when read),
// random and repeated bytes of each, text with and without valid UTF-8; `count` distinct ones in all.
std::vector<std::string> blob_contents(Random& rng, std::size_t count) {
    std::vector<std::string> out{"",         "\n", std::string(1, '\0'), "a\r\nb\r\n", "\xff\xfe not UTF-8 \xc3\x28",
                                 "é名\n"};
    for (const std::size_t size : {15, 16, 2047, 2048, 16383, 16384, 32769, 262143, 262144}) {
        out.push_back(rng.bytes(size));
        out.emplace_back(size, 'x');
    }
    while (out.size() < count) {
        auto content = rng.bytes(rng.below(400), rng.chance(50) ? "ab \n" : "");
        if (std::find(out.begin(), out.end(), content) == out.end()) out.push_back(std::move(content));
    }
    return out;
}

// git's own view of the blobs: the ids `git hash-object` gives, the bytes `git cat-file` reads back,
// and a repository `git fsck --strict` finds sound.
void expect_gits_blobs(const Repo& r, const std::vector<std::string>& contents, const std::vector<std::string>& ids) {
    ASSERT_EQ(ids.size(), contents.size());
    std::string paths, query, expected;
    for (std::size_t i = 0; i < contents.size(); ++i) {
        const auto file = r.temp.path() / ("blob" + std::to_string(i));
        write_bytes(file, contents[i]);
        paths += file.string() + '\n';
        query += ids[i] + '\n';
        expected += ids[i] + " blob " + std::to_string(contents[i].size()) + '\n' + contents[i] + '\n';
    }
    EXPECT_EQ(r.git.git({"hash-object", "--no-filters", "--stdin-paths"}, paths), joined(ids, "\n") + '\n');
    EXPECT_TRUE(r.git.git({"cat-file", "--batch"}, query) == expected) << "git cat-file reads other bytes";
    EXPECT_NO_THROW(r.git.git({"fsck", "--strict", "--full", "--no-dangling"}));
}

std::vector<std::string_view> views(const std::vector<std::string>& contents) {
    return {contents.begin(), contents.end()};
}

TEST(BlobWrites, LooseObjectsAreGitsOwn) {
    Random rng;
    SCOPED_TRACE(rng.trace());
    Repo r;
    auto contents = blob_contents(rng, 99);  // one under git's receive.unpackLimit
    contents.push_back(contents[3]);
    const auto ids = object_files::write_blobs(r.dir, views(contents));
    ASSERT_TRUE(ids);
    expect_gits_blobs(r, contents, *ids);
    // Written again, the objects stay as they are.
    const auto before = snapshot(r.dir, "objects");
    ASSERT_EQ(object_files::write_blobs(r.dir, {contents[0], contents[5]}), (std::vector{(*ids)[0], (*ids)[5]}));
    EXPECT_EQ(snapshot(r.dir, "objects"), before);

    // objects/<2 digits>/<38 digits> and nothing else, read-only as git leaves its own.
    Repo git_own;
    const auto id = git_own.git.write_blob("own");
    const auto git_mode = permissions(git_own.dir / "objects" / id.substr(0, 2) / id.substr(2));
    std::map<std::string, std::string> expected;
    for (const auto& oid : *ids) expected["objects/" + oid.substr(0, 2) + "/" + oid.substr(2)] = git_mode;
    std::map<std::string, std::string> written;
    for (const auto& [path, file] : before) written[path] = file.substr(0, 3);
    EXPECT_EQ(written, expected);
}

TEST(BlobWrites, PacksAndTheirIndexAreGitsOwn) {
    Random rng;
    SCOPED_TRACE(rng.trace());
    Repo r;
    auto contents = blob_contents(rng, 97);
    for (int i = 0; i < 3; ++i) contents.push_back(rng.bytes(3 << 20));  // past the 8 MiB compressed at a time
    contents.push_back(contents[7]);  // 100 distinct: git's receive.unpackLimit
    contents.push_back(contents.back());
    const auto ids = object_files::write_blobs(r.dir, views(contents));
    ASSERT_TRUE(ids);
    expect_gits_blobs(r, contents, *ids);

    // One pack, named as git names it, whose index is the one `git index-pack` builds from it, byte
    // for byte (fan-out, sorted ids, CRCs, offsets, checksums), read-only as git's packs are.
    const auto files = snapshot(r.dir, "objects");
    ASSERT_EQ(files.size(), 2U);
    const fs::path pack = r.dir / files.rbegin()->first, idx = r.dir / files.begin()->first;
    ASSERT_EQ(pack.extension(), ".pack");
    ASSERT_EQ(idx.extension(), ".idx");
    const auto git_idx = r.temp.path() / "git.idx";
    const auto name = r.git.git({"index-pack", "-o", git_idx.string(), pack.string()});
    EXPECT_EQ(pack.stem().string(), "pack-" + name.substr(0, name.size() - 1));
    EXPECT_EQ(idx.stem(), pack.stem());
    EXPECT_TRUE(object_files::read_file(idx) == object_files::read_file(git_idx)) << "git index-pack indexes otherwise";
    const auto listing = r.git.git({"verify-pack", "-v", idx.string()});
    EXPECT_NE(listing.find("non delta: 100 objects"), std::string::npos)
        << listing.substr(listing.size() - 200);

    Repo git_own;
    git_own.git.git({"pack-objects", "-q", (git_own.dir / "objects" / "pack" / "pack").string()},
                    joined(git_own.git.write_blobs({"one", "two"}), "\n") + '\n');
    std::set<std::string> git_modes, modes;
    for (const auto& [path, file] : snapshot(git_own.dir, "objects/pack")) git_modes.insert(file.substr(0, 3));
    for (const auto& [path, file] : files) modes.insert(file.substr(0, 3));
    EXPECT_EQ(modes, git_modes);
}

TEST(BlobWrites, OtherObjectFormatsAreLeftToGit) {
    Repo r({"--object-format=sha256"});
    EXPECT_FALSE(object_files::write_blobs(r.dir, {"x"}));
    const auto ids = r.git.write_blobs({"x", ""});
    EXPECT_EQ(ids, (std::vector{r.git.write_blob("x"), r.git.write_blob("")}));
    EXPECT_EQ(ids.at(0).size(), 64U);
}

// ---------------------------------------------------------------------------------------------
// commit records

// A raw commit object: its header lines and message, and whether it is in the plain form the
// sandbox must read itself (anything else it may leave to git).
struct RawCommit {
    std::vector<std::string> headers;
    std::string message;
    bool plain = true;
    [[nodiscard]] std::string text() const { return joined(headers, "\n") + "\n\n" + message; }
};

class CommitMaker {
public:
    CommitMaker(Random& rng, std::string tree, std::vector<std::string> parents)
        : rng_(rng), tree_(std::move(tree)), parents_(std::move(parents)), edits_(unusual_forms()) {}

    // The `n`th commit: the first ones each take one unusual form in turn, the rest at random.
    RawCommit make(std::size_t n) {
        RawCommit c;
        c.headers.push_back("tree " + tree_);
        for (auto k = rng_.below(4); k > 0; --k) c.headers.push_back("parent " + rng_.pick(parents_));
        c.headers.push_back("author " + ident());
        c.headers.push_back("committer " + ident());
        if (rng_.chance(20)) c.headers.emplace_back("gpgsig -----BEGIN PGP SIGNATURE-----\n \n iQEz\n -----END PGP");
        if (rng_.chance(10)) c.headers.emplace_back("mergetag object " + tree_ + "\n type commit\n tag v1\n");
        if (rng_.chance(10)) c.headers.emplace_back("x-unknown header value");
        c.message = rng_.pick(std::vector<std::string>{"", "\n", "subject", "subject\n\nbody\r\n", "\n\nlate\n",
                                                       "\xff\xfe\n", "é\xe2\x80\x8b\n"}) +
                    rng_.bytes(rng_.below(40), "ab \n\t");
        if (n < edits_.size() || rng_.chance(30)) {
            edits_[n < edits_.size() ? n : rng_.below(edits_.size())](c);
            c.plain = false;
        }
        return c;
    }

private:
    using Edit = std::function<void(RawCommit&)>;
    using Headers = std::vector<std::string>;

    std::string ident(const std::string& name_tail = "", const std::string& date = "") {
        const std::string name = rng_.join(1 + rng_.below(3), {"A", "z", "0", "Ann Lee", "o'Neil", "é", "名", "\xff",
                                                                "-", ".x", "a\x01" "b"});
        const std::string email = rng_.join(rng_.below(3), {"a", "@", ".", "+", "é", " "});
        return name + name_tail + " <" + email + "> " + (date.empty() ? plain_date() : date);
    }
    std::string plain_date() {
        const std::string seconds = rng_.pick(std::vector<std::string>{"100000", "1700000000", "2147483647",
                                                                       "2147483648", "253402300799", "999999999999"});
        const std::string zone = rng_.pick(std::vector<std::string>{"00", "01", "05", "09", "12", "14"}) +
                                 rng_.pick(std::vector<std::string>{"00", "15", "30", "45"});
        return (rng_.chance(50) ? std::to_string(100000 + rng_.below(std::size_t{1} << 34)) : seconds) + " " +
               (rng_.chance(50) ? "+" : "-") + zone;
    }
    static Headers::iterator header(RawCommit& c, std::string_view key) {
        return std::find_if(c.headers.begin(), c.headers.end(),
                            [&](const std::string& h) { return h.starts_with(std::string(key) + ' '); });
    }

    // Forms git reads its own way, refuses, or prints otherwise: each may be left to git.
    std::vector<Edit> unusual_forms() {
        std::vector<Edit> edits;
        const auto author_line = [&](std::string line) {
            edits.emplace_back([line](RawCommit& c) { *header(c, "author") = line; });
        };
        for (const std::string tail : {" ", "\t", "\r", "  \r", "\n"})
            edits.emplace_back([this, tail](RawCommit& c) { *header(c, "author") = "author " + ident(tail); });
        for (const std::string head : {" ", "\t", "<x> "})
            edits.emplace_back([this, head](RawCommit& c) { *header(c, "author") = "author " + head + ident(); });
        for (const std::string date :
             {"", "x1 +0000", "1700000000", "1700000000 +000", "1700000000 +00000", "1700000000 0000",
              "1700000000 +0060", "1700000000 +2400", "1700000000 -0000", "1700000000 +1260", "0 -0001", "3600 -0100",
              "3599 -0100", "86399 -2359", "0 +0000", "1234567890123 +0000", "+5 +0000", "1700000000  +0100",
              "1700000000 +0100 x", "01700000000 +0100", "1700000000\t+0100", "253402300800 +0000"})
            author_line("author A <a@b> " + date);
        for (const std::string line : {"author Name<mail> 1700000000 +0100", "author A <b <c> 1 +0000",
                                       "author A <b> c> 1 +0000", "author A <b 1 +0000", "author A b> 1 +0000",
                                       "author", "author  <> 1 +0000"})
            author_line(line);
        for (const std::string encoding : {"ISO-8859-1", "UTF-8", "utf8"})
            edits.emplace_back(
                [encoding](RawCommit& c) { c.headers.insert(header(c, "author"), "encoding " + encoding); });
        edits.emplace_back([](RawCommit& c) { c.headers.insert(c.headers.begin(), "x-first header"); });
        for (const std::string between : {"x-between tree and parents", " continuation of the tree line"}) {
            edits.emplace_back([this, between](RawCommit& c) {
                c.headers.insert(c.headers.begin() + 1, {between, "parent " + rng_.pick(parents_)});
            });
        }
        edits.emplace_back(
            [this](RawCommit& c) { c.headers.insert(header(c, "author") + 1, "parent " + rng_.pick(parents_)); });
        edits.emplace_back([this](RawCommit& c) {
            std::string parent = rng_.pick(parents_), upper = parent;
            for (auto& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
            const std::vector<std::string> forms{upper, parent + std::string(24, 'a'), parent.substr(1), "xyz"};
            c.headers.insert(c.headers.begin() + 1, "parent " + rng_.pick(forms));
        });
        edits.emplace_back([this](RawCommit& c) { c.headers.insert(c.headers.begin() + 1, "tree " + tree_); });
        edits.emplace_back([this](RawCommit& c) { c.headers[0] = "tree " + tree_ + std::string(24, 'a'); });
        edits.emplace_back([this](RawCommit& c) { c.headers.insert(header(c, "author"), "author " + ident()); });
        edits.emplace_back([this](RawCommit& c) { c.headers.push_back("committer " + ident()); });
        edits.emplace_back([](RawCommit& c) { std::iter_swap(header(c, "author"), header(c, "committer")); });
        for (const std::string key : {"tree", "author", "committer"})
            edits.emplace_back([key](RawCommit& c) { c.headers.erase(header(c, key)); });
        edits.emplace_back([](RawCommit& c) { c.message.insert(c.message.size() / 2, 1, '\0'); });
        edits.emplace_back([](RawCommit& c) { c.headers.insert(header(c, "author") + 1, " continuation"); });
        return edits;
    }

    Random& rng_;
    std::string tree_;
    std::vector<std::string> parents_;  // commits git can read: it reads a commit's parents to show it
    std::vector<Edit> edits_;
};

// The record as git shows it, field by field in CommitInfo's order; nullopt when git refuses it.
std::optional<std::vector<std::string>> gits_record(const Repo& r, const std::string& id) {
    std::string out;
    if (r.git.git_status({"log", "--no-walk", "-1",
                          "--pretty=format:%H%x00%P%x00%an%x00%ae%x00%aI%x00%cn%x00%ce%x00%cI%x00%ct%x00%B", id},
                         &out) != 0 ||
        out.empty())  // git refuses it, or shows no commit
        return std::nullopt;
    std::vector<std::string> fields(1);
    for (const char ch : out) {
        if (ch == '\0') {
            fields.emplace_back();
        } else {
            fields.back() += ch;
        }
    }
    if (fields.size() != 10) return fields;
    fields[4] = zorv_sandbox::repo::gitlab_date(fields[4]);
    fields[7] = zorv_sandbox::repo::gitlab_date(fields[7]);
    return fields;
}

std::vector<std::string> fields_of(const zorv_sandbox::repo::CommitInfo& c) {
    return {c.id,          joined(c.parents, " "), c.author_name,    c.author_email, c.authored_date,
            c.committer_name, c.committer_email,   c.committed_date, std::to_string(c.committed_at), c.message};
}

// A loose object file holding exactly `raw` ("<type> <size>\0<content>") under a name of its own
// (git reads an object without checking its name).
std::string write_loose(const Repo& r, const std::string& raw) {
    std::string compressed(compressBound(static_cast<uLong>(raw.size())), '\0');
    auto size = static_cast<uLongf>(compressed.size());
    EXPECT_EQ(compress(reinterpret_cast<Bytef*>(compressed.data()), &size,
                       reinterpret_cast<const Bytef*>(raw.data()), static_cast<uLong>(raw.size())),
              Z_OK);
    compressed.resize(size);
    const auto file = r.temp.path() / "raw";
    write_bytes(file, raw);
    auto id = r.git.git({"hash-object", file.string()});
    id.pop_back();
    fs::create_directories(r.dir / "objects" / id.substr(0, 2));
    write_bytes(r.dir / "objects" / id.substr(0, 2) / id.substr(2), compressed);
    return id;
}

TEST(CommitRecords, ReadInProcessAsGitShowsThemOrLeftToGit) {
    Random rng;
    SCOPED_TRACE(rng.trace());
    Repo r;
    const auto tree = r.git.write_tree({});
    CommitMaker maker(rng, tree, {r.commit("first"), r.commit("second")});
    std::vector<RawCommit> commits;
    std::string paths;
    for (int i = 0; i < 300; ++i) {
        commits.push_back(maker.make(commits.size()));
        const auto file = r.temp.path() / ("commit" + std::to_string(i));
        write_bytes(file, commits.back().text());
        paths += file.string() + '\n';
    }
    const auto written = r.git.git({"hash-object", "-t", "commit", "--literally", "-w", "--stdin-paths"}, paths);
    std::vector<std::string> ids;
    for (std::size_t at = 0; at < written.size(); at += 41) ids.push_back(written.substr(at, 40));
    ASSERT_EQ(ids.size(), commits.size());

    std::size_t in_process = 0;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        SCOPED_TRACE("commit object:\n" + commits[i].text());
        const auto mine = object_files::read_commit(r.dir, ids[i]);
        EXPECT_TRUE(mine || !commits[i].plain) << "a commit in git's plain form is left to git";
        if (!mine) continue;
        ++in_process;
        const auto gits = gits_record(r, ids[i]);
        EXPECT_EQ(fields_of(*mine), gits.value_or(std::vector<std::string>{"git refuses this commit"}));
    }
    EXPECT_GT(in_process, ids.size() / 2);

    // Objects that are not commits, and a commit whose stated size is smaller than its content.
    const std::string body = commits.front().text();
    for (const auto& other : {tree, r.git.write_blob("blob"),
                              write_loose(r, "commit " + std::to_string(body.size() - 1) + '\0' + body)}) {
        EXPECT_FALSE(object_files::read_commit(r.dir, other)) << other;
        EXPECT_FALSE(gits_record(r, other)) << other;
    }
}

// ---------------------------------------------------------------------------------------------
// trees: written by git through an index; the sandbox's side is the entry list it hands over and
// reads back, over every mode and the names git allows

TEST(Trees, EveryNameAndModeReadsBackAsWritten) {
    Random rng;
    SCOPED_TRACE(rng.trace());
    Repo r;
    const auto commit = r.commit("gitlink target");
    const std::vector<std::string> pieces{"a", "B", "0", " ", "-", ".", "é", "名", "\xff", "\t", "\n", "'", "\"",
                                          "#", "a.b", "x y", "~", "@{", "\\", ":", "*"};
    std::map<std::string, std::string> modes;  // by path
    while (modes.size() < 80) {
        std::string path;
        for (auto depth = 1 + rng.below(3); depth > 0; --depth) {
            std::string name = rng.join(1 + rng.below(4), pieces);
            if (name == "." || name == ".." || name.starts_with(".git")) continue;
            path += (path.empty() ? "" : "/") + name;
        }
        if (path.empty()) continue;
        const bool clash = std::any_of(modes.begin(), modes.end(), [&](const auto& m) {
            return m.first.starts_with(path + "/") || path.starts_with(m.first + "/");
        });
        if (!clash) modes[path] = rng.pick(std::vector<std::string>{"100644", "100755", "120000", "160000"});
    }
    std::vector<std::string> contents;
    for (std::size_t i = 0; i < modes.size(); ++i) contents.push_back(rng.bytes(rng.below(20)));
    const auto blobs = r.git.write_blobs(views(contents));
    zorv_sandbox::repo::Files files;
    std::size_t next = 0;
    for (const auto& [path, mode] : modes) files[path] = {mode, mode == "160000" ? commit : blobs.at(next++)};
    const auto tree = r.git.write_tree(files);
    const auto sha = r.git.commit_tree(tree, {}, "tree", {"A", "a@b"}, {"A", "a@b"});
    const auto listed = r.git.files(sha);
    const auto as_pairs = [](const zorv_sandbox::repo::Files& f) {
        std::map<std::string, std::pair<std::string, std::string>> out;
        for (const auto& [path, entry] : f) out[path] = {entry.mode, entry.oid};
        return out;
    };
    EXPECT_EQ(as_pairs(listed), as_pairs(files));
    EXPECT_NO_THROW(r.git.git({"fsck", "--strict", "--no-dangling"}));
}

}  // namespace
