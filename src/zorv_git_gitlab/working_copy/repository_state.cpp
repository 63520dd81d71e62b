#include "working_copy/repository_state.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <optional>

#include "zorv_git_gitlab/errors.hpp"

namespace zorv_git_gitlab::working_copy {
namespace fs = std::filesystem;
namespace {

std::string first_line(std::string_view text) { return std::string(text.substr(0, text.find('\n'))); }

// The whole file; no value when it cannot be read. Files under /proc vanish while they are read when
// their process ends (read fails with ESRCH): that is no value too, never an exception.
std::optional<std::string> read_text(const fs::path& path) {
    struct Descriptor {
        int fd;
        ~Descriptor() {
            if (fd >= 0) ::close(fd);
        }
    } const file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) return std::nullopt;
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(file.fd, buffer, sizeof buffer);
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0) {
            return text;
        } else if (errno != EINTR) {
            return std::nullopt;
        }
    }
}

// NUL-separated fields (a process's environment or command line).
std::vector<std::string> fields(const std::string& text) {
    std::vector<std::string> out;
    for (std::size_t start = 0; start < text.size();) {
        auto end = text.find('\0', start);
        if (end == std::string::npos) end = text.size();
        out.emplace_back(text, start, end - start);
        start = end + 1;
    }
    return out;
}

fs::path resolved(const fs::path& path) {
    std::error_code ec;
    auto out = fs::weakly_canonical(path, ec);
    return ec ? path.lexically_normal() : out;
}

bool within(const fs::path& path, const std::vector<fs::path>& places) {
    return std::any_of(places.begin(), places.end(), [&](const fs::path& place) {
        const auto relative = path.lexically_relative(place);
        return !relative.empty() && *relative.begin() != "..";
    });
}

// The folders in which a git process works on this repository: the working trees (the main one and
// the linked ones) and the git directories.
std::vector<fs::path> places(const Layout& layout) {
    std::vector<fs::path> out{layout.top, layout.git_dir, layout.common_dir};
    if (layout.common_dir.filename() == ".git") out.push_back(layout.common_dir.parent_path());
    std::error_code ec;
    for (fs::directory_iterator it(layout.common_dir / "worktrees", ec), end; !ec && it != end; it.increment(ec)) {
        if (const auto gitdir = read_text(it->path() / "gitdir")) {
            out.push_back(fs::path(first_line(*gitdir)).parent_path());
        }
    }
    for (auto& place : out) place = resolved(place);
    return out;
}

// Whether the git process behind /proc/<pid> works on the repository: its current directory is in one
// of its folders, or a GIT_DIR, GIT_WORK_TREE, GIT_COMMON_DIR or GIT_INDEX_FILE in its environment,
// or a --git-dir or --work-tree on its command line, names one. A process whose directory cannot be
// read (another user's) counts as working there: nothing says it does not.
bool works_in(const fs::path& proc, const std::vector<fs::path>& where) {
    std::error_code ec;
    const fs::path cwd = fs::read_symlink(proc / "cwd", ec);
    if (ec) return ec != std::errc::no_such_file_or_directory;
    if (within(cwd, where)) return true;
    const auto names = [&](std::string_view value) {
        fs::path path(value);
        return !value.empty() && within(resolved(path.is_relative() ? cwd / path : path), where);
    };
    const auto environment = read_text(proc / "environ");
    if (!environment) return true;
    for (const auto& entry : fields(*environment)) {
        for (const std::string_view key : {"GIT_DIR=", "GIT_WORK_TREE=", "GIT_COMMON_DIR=", "GIT_INDEX_FILE="}) {
            if (entry.starts_with(key) && names(std::string_view(entry).substr(key.size()))) return true;
        }
    }
    const auto argv = fields(read_text(proc / "cmdline").value_or(""));
    for (std::size_t i = 1; i < argv.size(); ++i) {
        for (const std::string_view option : {"--git-dir", "--work-tree"}) {
            const std::string& arg = argv[i];
            if (arg == option && i + 1 < argv.size() && names(argv[i + 1])) return true;
            if (arg.size() > option.size() && arg.starts_with(option) && arg[option.size()] == '=' &&
                names(std::string_view(arg).substr(option.size() + 1))) {
                return true;
            }
        }
    }
    return false;
}

// Whether the process behind /proc/<pid> has one of `files` open.
bool holds_open(const fs::path& proc, const std::vector<fs::path>& files) {
    if (files.empty()) return false;
    std::error_code ec;
    for (fs::directory_iterator it(proc / "fd", ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code link_ec;
        const auto target = fs::read_symlink(it->path(), link_ec);
        if (!link_ec && std::find(files.begin(), files.end(), target) != files.end()) return true;
    }
    return false;
}

// The merge of `commit` into HEAD is what the index holds: a clean merge, no conflicts staged.
bool staged_is_merge_of(const GitRunner& git, const std::string& commit) {
    const auto merged = git.run({"merge-tree", "--write-tree", "HEAD", commit}, {.accept = {0, 1}});
    const auto staged = git.run({"write-tree"}, {.accept = {0, 128}});
    return merged.exit_code == 0 && staged.exit_code == 0 && first_line(merged.out) == first_line(staged.out);
}

// A merge cut short after it wrote MERGE_HEAD: when its merge commit was made already (git was killed
// while it cleaned up), its state is cleared; when the index holds the clean merge, the merge commit
// is made as `git merge --continue` would. Anything else (conflicts, other changes staged) is left
// for git to report. What was done, or "".
std::string conclude_merge_head(const GitRunner& git, const Layout& layout, const Args& identity,
                                std::string_view merge_message) {
    const std::string merged = first_line(read_text(layout.git_dir / "MERGE_HEAD").value_or(""));
    if (merged.empty() || merged.find_first_not_of("0123456789abcdef") != std::string::npos) return {};
    if (git.run({"merge-base", "--is-ancestor", merged, "HEAD"}, {.accept = {0, 1, 128}}).exit_code == 0) {
        git.run({"merge", "--quit"});
        return "the merge of " + merged + " had been committed; its state is cleared";
    }
    if (!staged_is_merge_of(git, merged)) return {};
    std::error_code ec;
    if (fs::exists(layout.git_dir / "MERGE_MSG", ec)) {
        git.run(with(identity, {"commit", "--quiet", "--no-edit"}));
    } else {
        git.run(with(identity, {"commit", "--quiet", "--message=" + std::string(merge_message)}));
    }
    return "the merge of " + merged + " is committed";
}

// "<mode> <id>" of every file of a tree, by path.
std::map<std::string, std::string> tree_entries(const GitRunner& git, const std::string& tree) {
    std::map<std::string, std::string> out;
    const std::string listing = git.run({"ls-tree", "-r", "-z", tree}).out;
    for (std::size_t start = 0; start < listing.size();) {
        auto end = listing.find('\0', start);
        if (end == std::string::npos) end = listing.size();
        // "<mode> <type> <id>\t<path>"
        const std::string_view line(listing.data() + start, end - start);
        const auto tab = line.find('\t');
        const auto first = line.find(' '), last = line.rfind(' ', tab);
        if (tab != std::string_view::npos && first != std::string_view::npos && last != std::string_view::npos) {
            out.emplace(line.substr(tab + 1), std::string(line.substr(0, first)) + ' ' +
                                                  std::string(line.substr(last + 1, tab - last - 1)));
        }
        start = end + 1;
    }
    return out;
}

// A git killed while it rewrote the working tree (the checkout of a merge, or of a switch to another
// branch) leaves some files at their new version and the index, which it writes last, at the old one;
// the next merge or switch then refuses to overwrite them. Files that differ from the index and are
// exactly what such a checkout of this call writes (the merge of `tracking` into HEAD, or `branch`)
// are put back to the index's version, and such files the index does not have are removed, so that
// the checkout runs again in full. Other changes in the working tree stay as they are: a change of
// the caller's own differs from those versions, or equals what the checkout writes there anyway.
// The paths put back or removed.
std::vector<std::string> undo_cut_short_checkout(const GitRunner& git, const Layout& layout,
                                                 const std::string& tracking, const std::string& branch) {
    // Neither checkout starts with changes staged (a merge refuses them; they are the caller's).
    if (git.run({"diff-index", "--cached", "--quiet", "HEAD", "--"}, {.accept = {0, 1, 128}}).exit_code != 0) return {};
    std::vector<std::map<std::string, std::string>> written;
    const auto merged = git.run({"merge-tree", "--write-tree", "HEAD", tracking}, {.accept = {0, 1, 128}});
    if (merged.exit_code == 0) written.push_back(tree_entries(git, first_line(merged.out)));
    const auto active = git.run({"symbolic-ref", "--quiet", "HEAD"}, {.accept = {0, 1}});
    if (first_line(active.out) != "refs/heads/" + branch) {
        const auto other = git.run({"rev-parse", "--verify", "--quiet", "refs/heads/" + branch + "^{tree}"},
                                   {.accept = {0, 1, 128}});
        if (other.exit_code == 0) written.push_back(tree_entries(git, first_line(other.out)));
    }
    if (written.empty()) return {};

    // "XY <path>\0": changed in the working tree only (" M", " T"), or not in the index ("??"). Regular
    // files only (a checkout writes links and submodules too, but these are not published), hashed as
    // git add would hash them.
    struct Candidate {
        std::string path;
        bool tracked;
    };
    std::vector<Candidate> candidates;
    std::string paths;
    const std::string status = git.run({"status", "--porcelain=v1", "-z", "--untracked-files=all", "--no-renames"}).out;
    for (std::size_t start = 0; start < status.size();) {
        auto end = status.find('\0', start);
        if (end == std::string::npos) end = status.size();
        const std::string_view entry(status.data() + start, end - start);
        start = end + 1;
        if (entry.size() <= 3 || !(entry.starts_with(" M ") || entry.starts_with(" T ") || entry.starts_with("?? "))) {
            continue;
        }
        std::string path(entry.substr(3));
        std::error_code ec;
        if (path.find('\n') != std::string::npos || !fs::is_regular_file(fs::symlink_status(layout.top / path, ec))) {
            continue;
        }
        paths += path + '\n';
        candidates.push_back({std::move(path), entry[0] == ' '});
    }
    if (candidates.empty()) return {};
    const std::string ids = git.run({"hash-object", "--stdin-paths"}, {.stdin_data = paths}).out;

    std::vector<std::string> undone;
    std::string restore;
    std::size_t pos = 0;
    for (const auto& candidate : candidates) {
        // Named, not bound: clang before 16 cannot capture a structured binding in the lambda below.
        const std::string& path = candidate.path;
        const bool tracked = candidate.tracked;
        const auto end = ids.find('\n', pos);
        const std::string id = ids.substr(pos, end - pos);
        pos = end + 1;
        std::error_code ec;
        const auto permissions = fs::status(layout.top / path, ec).permissions();
        const bool executable = (permissions & fs::perms::owner_exec) != fs::perms::none;
        const std::string entry = std::string(executable ? "100755 " : "100644 ") + id;
        if (std::none_of(written.begin(), written.end(), [&](const auto& tree) {
                const auto it = tree.find(path);
                return it != tree.end() && it->second == entry;
            })) {
            continue;
        }
        if (tracked) {
            restore += path + '\0';
        } else {
            fs::remove(layout.top / path, ec);
        }
        undone.push_back(path);
    }
    if (!restore.empty()) git.run({"checkout-index", "--force", "-z", "--stdin"}, {.stdin_data = restore});
    return undone;
}

std::string joined(const std::vector<fs::path>& paths) {
    std::string out;
    for (const auto& path : paths) out += (out.empty() ? "" : ", ") + path.string();
    return out;
}

}  // namespace

Layout locate(const GitRunner& git, const std::string& repo_dir) {
    const Args args{"rev-parse", "--path-format=absolute", "--git-dir", "--git-common-dir", "--show-toplevel"};
    const std::string out = git.output(args);
    const auto first = out.find('\n');
    const auto second = first == std::string::npos ? first : out.find('\n', first + 1);
    if (second == std::string::npos) git.fail(args, "unexpected output: " + out, 0);
    Layout layout{out.substr(second + 1), out.substr(0, first), out.substr(first + 1, second - first - 1)};
    std::error_code ec;
    if (!fs::equivalent(layout.top, fs::path(repo_dir), ec)) {
        git.fail(args,
                 repo_dir + " is not the top directory of a git working copy (that is " + layout.top.string() + ")", -1);
    }
    return layout;
}

std::set<std::string> shallow_commits(const Layout& layout) {
    std::set<std::string> out;
    const std::string text = read_text(layout.common_dir / "shallow").value_or("");
    for (std::size_t start = 0; start < text.size();) {
        auto end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) out.emplace(text, start, end - start);
        start = end + 1;
    }
    return out;
}

std::vector<fs::path> lock_files(const Layout& layout) {
    std::vector<fs::path> found;
    const auto is_lock = [](const fs::directory_entry& entry) {
        std::error_code ec;
        return entry.path().extension() == ".lock" && entry.is_regular_file(ec);
    };
    std::error_code ec;
    for (const auto& dir : {layout.git_dir, layout.common_dir}) {
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
            if (is_lock(*it)) found.push_back(it->path());
        }
    }
    for (fs::recursive_directory_iterator it(layout.common_dir / "refs", ec), end; !ec && it != end; it.increment(ec)) {
        if (is_lock(*it)) found.push_back(it->path());
    }
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    return found;
}

// Found through /proc: a process named git (or git-<something>) that is not a zombie and works on the
// repository (`works_in`), or any process that has one of the lock files open. This process is left
// out: it runs no git while it looks.
std::vector<std::string> lock_holders(const Layout& layout, const std::vector<fs::path>& locks) {
    const auto where = places(layout);
    std::vector<fs::path> lock_paths;
    for (const auto& lock : locks) lock_paths.push_back(resolved(lock));
    std::vector<std::string> holders;
    const std::string self = std::to_string(::getpid());
    std::error_code ec;
    fs::directory_iterator it("/proc", ec);
    if (ec) return {"a git process, perhaps: /proc cannot be read to tell (" + ec.message() + ")"};
    for (const fs::directory_iterator end; !ec && it != end; it.increment(ec)) {
        const std::string pid = it->path().filename().string();
        if (pid.empty() || pid == self || pid.find_first_not_of("0123456789") != std::string::npos) continue;
        // "<pid> (<name>) <state> ..."; the name may hold parentheses itself
        const std::string stat = read_text(it->path() / "stat").value_or("");
        const auto open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close + 2 >= stat.size()) continue;
        if (stat[close + 2] == 'Z' || stat[close + 2] == 'X') continue;
        const std::string name = stat.substr(open + 1, close - open - 1);
        if (holds_open(it->path(), lock_paths)) {
            holders.push_back("process " + pid + " (" + name + "), which has a lock file open");
        } else if ((name == "git" || name.starts_with("git-")) && works_in(it->path(), where)) {
            holders.push_back("git process " + pid);
        }
    }
    return holders;
}

Settled settle(const GitRunner& git, const Layout& layout, const Args& identity, const std::string& tracking,
               const std::string& branch, std::string_view merge_message) {
    Settled settled;
    const auto locks = lock_files(layout);
    std::error_code ec;
    const bool merging = fs::exists(layout.git_dir / "MERGE_HEAD", ec);
    if (locks.empty() && !merging) return settled;

    if (const auto holders = lock_holders(layout, locks); !holders.empty()) {
        std::string what = locks.empty() ? "a merge is in progress (" + (layout.git_dir / "MERGE_HEAD").string() + ")"
                                         : std::string(locks.size() == 1 ? "the lock file " : "the lock files ") +
                                               joined(locks) + (locks.size() == 1 ? " exists" : " exist");
        std::string who;
        for (const auto& holder : holders) who += (who.empty() ? "" : ", ") + holder;
        throw GitError(git.redact("commit_project: " + what + " in " + layout.top.string() + " and " + who +
                                  " is working in this repository; it is left alone: call again once that has "
                                  "finished"),
                       -1);
    }
    for (const auto& lock : locks) {
        if (!fs::remove(lock, ec) && ec) {
            throw GitError(git.redact("commit_project: cannot remove the lock file " + lock.string() +
                                      " left by a git process that is gone: " + ec.message()),
                           -1);
        }
        settled.removed_locks.push_back(lock);
    }
    if (std::find(locks.begin(), locks.end(), layout.git_dir / "index.lock") != locks.end()) {
        settled.undone = undo_cut_short_checkout(git, layout, tracking, branch);
    }
    if (merging) settled.merge = conclude_merge_head(git, layout, identity, merge_message);
    return settled;
}

bool conclude_staged_merge(const GitRunner& git, const Args& identity, const std::string& tracking,
                           std::string_view merge_message) {
    const auto staged = git.run({"diff-index", "--cached", "--quiet", "HEAD", "--"}, {.accept = {0, 1, 128}});
    if (staged.exit_code != 1) return false;
    for (const std::string& candidate : {tracking, tracking + "@{1}"}) {
        const auto id = git.run({"rev-parse", "--verify", "--quiet", candidate + "^{commit}"}, {.accept = {0, 1, 128}});
        if (id.exit_code != 0 || !staged_is_merge_of(git, first_line(id.out))) continue;
        git.run({"update-ref", "MERGE_HEAD", first_line(id.out)});
        git.run(with(identity, {"commit", "--quiet", "--message=" + std::string(merge_message)}));
        return true;
    }
    return false;
}

}  // namespace zorv_git_gitlab::working_copy
