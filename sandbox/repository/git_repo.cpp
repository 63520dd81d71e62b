#include "repository/git_repo.hpp"

#include "repository/object_files.hpp"

#include "zorv_git/process.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <ctime>
#include <fstream>
#include <random>
#include <system_error>

namespace zorv_sandbox::repo {
namespace {

namespace zp = zorv_git::process;

// Variables of the sandbox's own environment that would point git somewhere else.
const std::vector<std::string>& foreign_git_variables() {
    static const std::vector<std::string> names{
        "GIT_INDEX_FILE",     "GIT_WORK_TREE",        "GIT_OBJECT_DIRECTORY", "GIT_ALTERNATE_OBJECT_DIRECTORIES",
        "GIT_NAMESPACE",      "GIT_COMMON_DIR",       "GIT_QUARANTINE_PATH",  "GIT_CEILING_DIRECTORIES",
        "GIT_REPLACE_REF_BASE", "GIT_NO_REPLACE_OBJECTS", "GIT_GRAFT_FILE",   "GIT_SHALLOW_FILE",
        "GIT_AUTHOR_NAME",    "GIT_AUTHOR_EMAIL",     "GIT_AUTHOR_DATE",      "GIT_COMMITTER_NAME",
        "GIT_COMMITTER_EMAIL", "GIT_COMMITTER_DATE",  "GIT_CONFIG",           "GIT_CONFIG_PARAMETERS",
        "GIT_CONFIG_COUNT"};
    return names;
}

std::string trim_newline(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

std::vector<std::string_view> split(std::string_view text, char sep) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find(sep, start);
        if (end == std::string_view::npos) end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

using object_files::is_object_id;
using object_files::read_file;
using object_files::valid_refname;

// A revision given by a caller must never reach git as an option.
bool safe_revision(std::string_view rev) {
    return !rev.empty() && rev.front() != '-' &&
           std::none_of(rev.begin(), rev.end(), [](char c) { return c == '\0' || c == '\n' || c == ' '; });
}

constexpr std::string_view kCommitFormat = "--format=%H%x00%P%x00%an%x00%ae%x00%aI%x00%cn%x00%ce%x00%cI%x00%ct%x00%B";
constexpr std::size_t kCommitFields = 10;

std::vector<CommitInfo> parse_commits(std::string_view out) {
    std::vector<CommitInfo> commits;
    auto fields = split(out, '\0');
    for (std::size_t i = 0; i + kCommitFields <= fields.size(); i += kCommitFields) {
        CommitInfo c;
        std::string_view id = fields[i];
        while (!id.empty() && id.front() == '\n') id.remove_prefix(1);
        c.id = std::string(id);
        for (auto p : split(fields[i + 1], ' '))
            if (!p.empty()) c.parents.emplace_back(p);
        c.author_name = fields[i + 2];
        c.author_email = fields[i + 3];
        c.authored_date = gitlab_date(fields[i + 4]);
        c.committer_name = fields[i + 5];
        c.committer_email = fields[i + 6];
        c.committed_date = gitlab_date(fields[i + 7]);
        std::from_chars(fields[i + 8].data(), fields[i + 8].data() + fields[i + 8].size(), c.committed_at);
        c.message = fields[i + 9];
        commits.push_back(std::move(c));
    }
    return commits;
}

std::string unique_suffix() {
    std::random_device rd;
    std::uniform_int_distribution<std::uint64_t> dist;
    static constexpr char hex[] = "0123456789abcdef";
    std::uint64_t v = dist(rd);
    std::string s;
    for (int i = 0; i < 16; ++i, v >>= 4) s += hex[v & 15];
    return s;
}

// A file removed when the object goes away.
struct TempFile {
    std::filesystem::path path;
    ~TempFile() {
        std::error_code ec;
        std::filesystem::remove(path, ec);
    }
};

// A directory removed with its contents when the object goes away.
struct TempDir {
    std::filesystem::path path;
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

// The value of a ref as git stores it: the loose file under the repository, else its line in
// packed-refs. A symbolic ref ("ref: ...") gives nullopt; refs are never symbolic below refs/heads.
std::optional<std::string> read_ref(const std::filesystem::path& dir, std::string_view ref) {
    if (const auto loose = read_file(dir / std::string(ref))) {
        const std::string value = trim_newline(*loose);
        if (is_object_id(value)) return value;
        return std::nullopt;
    }
    const auto packed = read_file(dir / "packed-refs");
    if (!packed) return std::nullopt;
    for (auto line : split(*packed, '\n')) {
        if (line.size() > 41 && line[40] == ' ' && line.substr(41) == ref) return std::string(line.substr(0, 40));
    }
    return std::nullopt;
}

std::string epoch_now() {
    return std::to_string(static_cast<long long>(std::time(nullptr))) + " +0000";
}

}  // namespace

GitRepo::GitRepo(std::filesystem::path dir) : dir_(std::move(dir)) {}

namespace {

zp::Result run_git(const std::filesystem::path& dir, const std::vector<std::string>& args, std::string_view input,
                   const Env& env) {
    std::vector<std::string> argv{"git"};
    argv.insert(argv.end(), args.begin(), args.end());
    zp::Options o;
    o.cwd = dir;
    // The user's and the system's git configuration stay out of the sandbox's repositories.
    o.env = {{"GIT_DIR", dir.string()},
             {"GIT_CONFIG_NOSYSTEM", "1"},
             {"GIT_CONFIG_GLOBAL", "/dev/null"},
             {"GIT_TERMINAL_PROMPT", "0"},
             {"LC_ALL", "C"}};
    o.env.insert(o.env.end(), env.begin(), env.end());
    o.unset_env = foreign_git_variables();
    o.stdin_data = input;
    o.timeout = std::chrono::minutes(5);
    try {
        return zp::run(argv, o);
    } catch (const zp::SpawnError& e) {
        throw GitError(e.what());
    }
}

std::string command_name(const std::vector<std::string>& args) {
    return "git " + (args.empty() ? std::string() : args.front());
}

}  // namespace

int GitRepo::git_status(const std::vector<std::string>& args, std::string* out, std::string_view input,
                        const Env& env) const {
    auto r = run_git(dir_, args, input, env);
    if (r.exit_code < 0) throw GitError(command_name(args) + " was stopped: " + r.err);
    if (out != nullptr) *out = std::move(r.out);
    return r.exit_code;
}

std::string GitRepo::git(const std::vector<std::string>& args, std::string_view input, const Env& env) const {
    auto r = run_git(dir_, args, input, env);
    if (!r.ok()) throw GitError(command_name(args) + " failed: " + r.err);
    return std::move(r.out);
}

// ---------------------------------------------------------------------------------------------
// refs

bool GitRepo::has_commits() const {
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(dir_ / "refs" / "heads", ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file(ec)) return true;
    }
    const auto packed = read_file(dir_ / "packed-refs");
    return packed && packed->find(" refs/heads/") != std::string::npos;
}

std::optional<std::string> GitRepo::resolve_commit(std::string_view rev) const {
    if (!safe_revision(rev)) return std::nullopt;
    // A branch name git would read as that branch (not a full object id in either case, no ref of
    // the same name in git's earlier places: the repository's own files, refs/ and refs/tags/) is
    // read in process.
    std::string lower(rev);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    if (valid_refname(rev) && !is_object_id(lower)) {
        const std::string name(rev);
        std::error_code ec;
        const bool shadowed = std::filesystem::exists(dir_ / name, ec) || std::filesystem::exists(dir_ / "refs" / name, ec) ||
                              std::filesystem::exists(dir_ / "refs" / "tags" / name, ec) ||
                              read_ref(dir_, name) || read_ref(dir_, "refs/" + name) ||
                              read_ref(dir_, "refs/tags/" + name);
        if (!shadowed) {
            if (auto head = read_ref(dir_, "refs/heads/" + name)) return head;
        }
    }
    std::string out;
    if (git_status({"rev-parse", "--verify", "--quiet", std::string(rev) + "^{commit}"}, &out) != 0)
        return std::nullopt;
    out = trim_newline(out);
    if (!is_object_id(out)) return std::nullopt;
    return out;
}

std::optional<std::string> GitRepo::branch_head(std::string_view branch) const {
    // Read in process: branches only ever point at commits here. A ref file in another form
    // (a symbolic ref) is read by git.
    const std::string ref = "refs/heads/" + std::string(branch);
    if (!valid_refname(ref)) return std::nullopt;
    if (auto head = read_ref(dir_, ref)) return head;
    std::error_code ec;
    std::string out;
    if (!std::filesystem::is_regular_file(dir_ / ref, ec) ||
        git_status({"rev-parse", "--verify", "--quiet", ref}, &out) != 0)
        return std::nullopt;
    return trim_newline(out);
}

std::vector<std::pair<std::string, std::string>> GitRepo::branches() const {
    std::vector<std::pair<std::string, std::string>> out;
    const auto text = git({"for-each-ref", "--format=%(refname:strip=2)%00%(objectname)", "refs/heads"});
    for (auto line : split(text, '\n')) {
        const auto nul = line.find('\0');
        if (nul == std::string_view::npos) continue;
        out.emplace_back(std::string(line.substr(0, nul)), std::string(line.substr(nul + 1)));
    }
    return out;
}

std::vector<std::string> GitRepo::branches_merged_into(std::string_view commit) const {
    std::vector<std::string> out;
    const auto text =
        git({"for-each-ref", "--merged=" + std::string(commit), "--format=%(refname:strip=2)", "refs/heads"});
    for (auto line : split(text, '\n'))
        if (!line.empty()) out.emplace_back(line);
    return out;
}

std::optional<std::string> GitRepo::head_branch() const {
    constexpr std::string_view prefix = "ref: refs/heads/";
    std::string head = trim_newline(read_file(dir_ / "HEAD").value_or(""));
    if (!head.starts_with(prefix)) return std::nullopt;
    // A branch that is a symbolic ref itself: git names the one at the end of the chain.
    if (read_file(dir_ / head.substr(5)).value_or("").starts_with("ref:")) {
        if (git_status({"symbolic-ref", "HEAD"}, &head) != 0) return std::nullopt;
        head = "ref: " + trim_newline(head);
        if (!head.starts_with(prefix)) return std::nullopt;
    }
    return head.substr(prefix.size());
}

void GitRepo::set_head_branch(std::string_view branch) const {
    git({"symbolic-ref", "HEAD", "refs/heads/" + std::string(branch)});
}

bool GitRepo::update_ref(const std::string& ref, const std::string& value, const std::string& expected) const {
    if (const auto in_process = object_files::update_ref(dir_, ref, value, expected); in_process != object_files::RefUpdate::ask_git)
        return in_process == object_files::RefUpdate::done;
    const std::string old = expected.empty() ? std::string(value.size(), '0') : expected;
    return git_status({"update-ref", "-m", "sandbox", ref, value, old}) == 0;
}

bool GitRepo::delete_ref(const std::string& ref, const std::string& expected) const {
    return git_status({"update-ref", "-m", "sandbox", "-d", ref, expected}) == 0;
}

bool GitRepo::valid_branch_name(std::string_view name) const {
    // `git check-ref-format --branch` in process (names with "@{" are refused with the rest).
    if (name.empty() || name.front() == '-' || name == "HEAD" || is_object_id(name) || name.starts_with("refs/"))
        return false;
    return valid_refname("refs/heads/" + std::string(name));
}

bool GitRepo::valid_tag_name(std::string_view name) const {
    if (name.empty() || name.front() == '-' || name == "HEAD" || name.starts_with("refs/")) return false;
    return valid_refname("refs/tags/" + std::string(name));
}

// ---------------------------------------------------------------------------------------------
// commits

std::vector<CommitInfo> GitRepo::commits(const std::vector<std::string>& ids) const {
    // Loose commit objects are read in process; git describes the rest in one call.
    std::vector<std::optional<CommitInfo>> found;
    std::vector<std::string> args{"log", "--no-walk=unsorted", "-z", std::string(kCommitFormat)};
    for (const auto& id : ids) {
        found.push_back(object_files::read_commit(dir_, id));
        if (!found.back()) args.push_back(id);
    }
    std::vector<CommitInfo> from_git;
    if (args.size() > 4) {
        args.emplace_back("--");
        from_git = parse_commits(git(args));
    }
    std::vector<CommitInfo> out;
    auto next = from_git.begin();
    for (auto& commit : found) {
        if (commit) {
            out.push_back(std::move(*commit));
        } else if (next != from_git.end()) {
            out.push_back(std::move(*next++));
        }
    }
    return out;
}

std::vector<CommitInfo> GitRepo::log(const std::vector<std::string>& revs, std::size_t skip, std::size_t max,
                                     const std::vector<std::string>& options, const std::string& path) const {
    for (const auto& r : revs)
        if (!safe_revision(r)) throw GitError("invalid revision");
    std::vector<std::string> args{"log", "-z", std::string(kCommitFormat), "--skip=" + std::to_string(skip),
                                  "--max-count=" + std::to_string(max)};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), revs.begin(), revs.end());
    args.emplace_back("--");
    if (!path.empty()) args.push_back(path);
    return parse_commits(git(args));
}

Stats GitRepo::stats(const CommitInfo& commit) const {
    std::vector<std::string> args{"diff-tree", "--numstat", "-r", "--no-commit-id"};
    if (commit.parents.empty()) {
        args.emplace_back("--root");
    } else {
        args.push_back(commit.parents.front());
    }
    args.push_back(commit.id);
    Stats s;
    const std::string out = git(args);
    for (auto line : split(out, '\n')) {
        auto fields = split(line, '\t');
        if (fields.size() < 3) continue;
        std::int64_t a = 0, d = 0;
        std::from_chars(fields[0].data(), fields[0].data() + fields[0].size(), a);  // "-" for binary: 0
        std::from_chars(fields[1].data(), fields[1].data() + fields[1].size(), d);
        s.additions += a;
        s.deletions += d;
    }
    return s;
}

std::optional<std::string> GitRepo::last_commit_for_path(const std::string& commit, const std::string& path) const {
    auto out = trim_newline(git({"log", "-1", "--format=%H", commit, "--", path}));
    if (out.empty()) return std::nullopt;
    return out;
}

bool GitRepo::is_ancestor(const std::string& ancestor, const std::string& descendant) const {
    // A commit is its own ancestor (read in process when it is a loose one); anything else, git decides.
    if (ancestor == descendant && object_files::read_commit(dir_, ancestor)) return true;
    return git_status({"merge-base", "--is-ancestor", ancestor, descendant}) == 0;
}

std::optional<std::string> GitRepo::merge_base(const std::string& a, const std::string& b) const {
    std::string out;
    if (git_status({"merge-base", a, b}, &out) != 0) return std::nullopt;
    return trim_newline(out);
}

std::size_t GitRepo::changed_files(const std::string& from, const std::string& to) const {
    const auto out = git({"diff-tree", "-r", "--name-only", "-z", from, to});
    return split(out, '\0').size();
}

// ---------------------------------------------------------------------------------------------
// trees and blobs

Files GitRepo::files(const std::string& commit) const {
    Files files;
    const auto out = git({"ls-tree", "-r", "-z", "--full-tree", commit});
    for (auto entry : split(out, '\0')) {
        // "<mode> <type> <oid>\t<path>"
        const auto tab = entry.find('\t');
        if (tab == std::string_view::npos) continue;
        auto meta = split(entry.substr(0, tab), ' ');
        if (meta.size() != 3) continue;
        files.emplace(std::string(entry.substr(tab + 1)), TreeEntry{std::string(meta[0]), std::string(meta[2])});
    }
    return files;
}

std::string GitRepo::read_blob(const std::string& oid) const { return git({"cat-file", "blob", oid}); }

std::string GitRepo::write_blob(std::string_view content) const {
    return trim_newline(git({"hash-object", "-w", "--no-filters", "--stdin"}, content));
}

std::vector<std::string> GitRepo::write_blobs(const std::vector<std::string_view>& contents) const {
    if (contents.empty()) return {};
    if (auto written = object_files::write_blobs(dir_, contents)) return std::move(*written);
    // One git process for all of them: each content goes to a file, hash-object reads the paths.
    TempDir tmp{dir_ / ("zorv-blobs-" + unique_suffix())};
    std::filesystem::create_directory(tmp.path);
    std::string paths;
    for (std::size_t i = 0; i < contents.size(); ++i) {
        const auto file = tmp.path / std::to_string(i);
        std::ofstream out(file, std::ios::binary);
        out.write(contents[i].data(), static_cast<std::streamsize>(contents[i].size()));
        if (!out) throw GitError("cannot write " + file.string());
        paths += file.string() + '\n';
    }
    std::vector<std::string> oids;
    const std::string written = git({"hash-object", "-w", "--no-filters", "--stdin-paths"}, paths);
    for (auto line : split(written, '\n'))
        if (!line.empty()) oids.emplace_back(line);
    if (oids.size() != contents.size()) throw GitError("git hash-object wrote " + std::to_string(oids.size()) + " blobs");
    return oids;
}

std::string GitRepo::write_tree(const Files& files) const {
    TempFile index{dir_ / ("zorv-index-" + unique_suffix())};
    const Env env{{"GIT_INDEX_FILE", index.path.string()}};
    std::string info;
    for (const auto& [path, e] : files) {
        info += e.mode;
        info += ' ';
        info += e.oid;
        info += '\t';
        info += path;
        info += '\0';
    }
    if (!info.empty()) git({"update-index", "-z", "--index-info"}, info, env);
    return trim_newline(git({"write-tree"}, {}, env));
}

std::string GitRepo::tree_of(const std::string& commit) const {
    return trim_newline(git({"rev-parse", "--verify", commit + "^{tree}"}));
}

std::string GitRepo::commit_tree(const std::string& tree, const std::vector<std::string>& parents,
                                 const std::string& message, const Identity& author,
                                 const Identity& committer) const {
    std::vector<std::string> args{"commit-tree", "--no-gpg-sign", tree};
    for (const auto& p : parents) {
        args.emplace_back("-p");
        args.push_back(p);
    }
    const std::string now = epoch_now();
    const Env env{{"GIT_AUTHOR_NAME", author.name},       {"GIT_AUTHOR_EMAIL", author.email},
                  {"GIT_AUTHOR_DATE", now},               {"GIT_COMMITTER_NAME", committer.name},
                  {"GIT_COMMITTER_EMAIL", committer.email}, {"GIT_COMMITTER_DATE", now}};
    // The message goes through stdin, which git stores as it is.
    return trim_newline(git(args, message, env));
}

MergeResult GitRepo::merge_trees(const std::string& ours, const std::string& theirs) const {
    std::string out;
    const int rc = git_status({"merge-tree", "--write-tree", "--name-only", "--no-messages", ours, theirs}, &out);
    MergeResult result;
    auto lines = split(out, '\n');
    if (rc == 0 && !lines.empty()) {
        result.clean = true;
        result.tree = std::string(lines.front());
        return result;
    }
    // Exit 1: conflicts, listed after the tree; anything else (unrelated histories...) cannot merge.
    for (std::size_t i = 1; i < lines.size() && !lines[i].empty(); ++i) result.conflicts.emplace_back(lines[i]);
    return result;
}

// ---------------------------------------------------------------------------------------------
// tags

namespace {

constexpr std::string_view kTagFormat =
    "--format=%(refname:strip=2)%00%(objecttype)%00%(objectname)%00%(*objectname)%00%(*objecttype)%00"
    "%(taggerdate:iso-strict)%00%(contents)%00";
constexpr std::size_t kTagFields = 7;

std::vector<TagInfo> parse_tags(std::string_view out) {
    std::vector<TagInfo> tags;
    auto fields = split(out, '\0');
    for (std::size_t i = 0; i + kTagFields <= fields.size(); i += kTagFields) {
        TagInfo t;
        std::string_view name = fields[i];
        while (!name.empty() && name.front() == '\n') name.remove_prefix(1);
        t.name = name;
        const auto type = fields[i + 1];
        t.target = fields[i + 2];
        if (type == "tag") {
            t.annotated = true;
            t.commit = fields[i + 4] == "commit" ? std::string(fields[i + 3]) : std::string();
            t.tagged_at = fields[i + 5].empty() ? std::string() : gitlab_date(fields[i + 5]);
            t.message = std::string(fields[i + 6]);
            if (!t.message.empty() && t.message.back() == '\n') t.message.pop_back();
        } else if (type == "commit") {
            t.commit = t.target;
        }
        tags.push_back(std::move(t));
    }
    return tags;
}

}  // namespace

std::vector<TagInfo> GitRepo::tags(const std::string& sort_key) const {
    return parse_tags(git({"for-each-ref", "--sort=" + sort_key, std::string(kTagFormat), "refs/tags"}));
}

std::optional<TagInfo> GitRepo::tag(std::string_view name) const {
    if (name.empty()) return std::nullopt;
    for (auto& t : parse_tags(git({"for-each-ref", std::string(kTagFormat), "refs/tags/" + std::string(name)})))
        if (t.name == name) return t;
    return std::nullopt;
}

std::string GitRepo::make_tag_object(const std::string& name, const std::string& commit, const std::string& message,
                                     const Identity& tagger) const {
    std::string body = "object " + commit + "\ntype commit\ntag " + name + "\ntagger " + tagger.name + " <" +
                       tagger.email + "> " + epoch_now() + "\n\n" + message;
    if (!message.empty() && message.back() != '\n') body += '\n';
    return trim_newline(git({"mktag"}, body));
}

// ---------------------------------------------------------------------------------------------

std::string gitlab_date(std::string_view git_iso) {
    // 2024-05-01T12:00:00+02:00 -> 2024-05-01T12:00:00.000+02:00
    if (git_iso.size() >= 20 && git_iso[19] != '.') {
        std::string out(git_iso.substr(0, 19));
        out += ".000";
        out += git_iso.substr(19);
        return out;
    }
    return std::string(git_iso);
}

std::string base64_encode(std::string_view data) {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < data.size(); i += 3) {
        const auto n = (static_cast<unsigned char>(data[i]) << 16) | (static_cast<unsigned char>(data[i + 1]) << 8) |
                       static_cast<unsigned char>(data[i + 2]);
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        out += alphabet[(n >> 6) & 63];
        out += alphabet[n & 63];
    }
    if (i + 1 == data.size()) {
        const auto n = static_cast<unsigned char>(data[i]) << 16;
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        out += "==";
    } else if (i + 2 == data.size()) {
        const auto n = (static_cast<unsigned char>(data[i]) << 16) | (static_cast<unsigned char>(data[i + 1]) << 8);
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        out += alphabet[(n >> 6) & 63];
        out += '=';
    }
    return out;
}

std::optional<std::string> base64_decode(std::string_view text) {
    // Symbol values; 64 marks whitespace (skipped), 65 padding, 255 anything else.
    static constexpr auto table = [] {
        std::array<unsigned char, 256> t{};
        t.fill(255);
        for (int i = 0; i < 26; ++i) {
            t['A' + i] = static_cast<unsigned char>(i);
            t['a' + i] = static_cast<unsigned char>(26 + i);
        }
        for (int i = 0; i < 10; ++i) t['0' + i] = static_cast<unsigned char>(52 + i);
        t['+'] = 62;
        t['/'] = 63;
        t[' '] = t['\n'] = t['\r'] = t['\t'] = 64;
        t['='] = 65;
        return t;
    }();
    std::string out(text.size() / 4 * 3 + 3, '\0');
    std::size_t written = 0;
    std::uint32_t acc = 0;
    int bits = 0;
    std::size_t padding = 0, symbols = 0;
    for (const char c : text) {
        const unsigned char v = table[static_cast<unsigned char>(c)];
        if (v < 64) {
            if (padding > 0) return std::nullopt;  // data after padding
            ++symbols;
            acc = (acc << 6) | v;
            bits += 6;
            if (bits >= 8) {
                bits -= 8;
                out[written++] = static_cast<char>((acc >> bits) & 0xFF);
            }
        } else if (v == 65) {
            ++padding;
        } else if (v != 64) {
            return std::nullopt;
        }
    }
    if (padding > 2 || symbols % 4 == 1 || (padding > 0 && (symbols + padding) % 4 != 0)) return std::nullopt;
    out.resize(written);
    return out;
}

}  // namespace zorv_sandbox::repo
