#include "working_copy/last_commits.hpp"

#include <charconv>
#include <optional>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace zorv_git_gitlab::working_copy {
namespace {

// One commit as the walk lists it: its parents, and the paths it changes against its first parent
// (every path of a root commit) among those asked for, with each folder above them.
struct Listed {
    std::vector<std::string> parents;
    std::unordered_set<std::string> touched;
};

void add_touched(Listed& commit, const std::string& path) {
    for (auto slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        commit.touched.insert(path.substr(0, slash));
    }
    commit.touched.insert(path);
}

// The entries of commits' folders, from one `git cat-file --batch` started when first needed; an
// entry is its mode and object id ("100644 <id>"), which is what decides whether a merge changed a path
// against one of its parents.
class TreeReader {
public:
    explicit TreeReader(const GitRunner& git) : git_(git) {}

    // The entry of `path` in `commit`; no value when the path is not there.
    std::optional<std::string> entry(const std::string& commit, const std::string& path) {
        const auto slash = path.rfind('/');
        const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash);
        const Tree& entries = tree(folder.empty() ? commit + "^{tree}" : commit + ":" + folder);
        const auto it = entries.find(slash == std::string::npos ? path : path.substr(slash + 1));
        if (it == entries.end()) return std::nullopt;
        return it->second;
    }

private:
    using Tree = std::unordered_map<std::string, std::string>;

    const Tree& tree(const std::string& object_name) {
        if (const auto it = trees_.find(object_name); it != trees_.end()) return it->second;
        if (!child_) child_.emplace(git_.start(args_));
        child_->write(object_name + "\n");
        std::string header;
        if (!child_->read_line(header)) git_.fail(args_, child_->wait());
        Tree& entries = trees_[object_name];
        // "<name> missing" when the folder is not there, else "<id> <type> <size>" and the object
        if (header.ends_with(" missing") || header.ends_with(" ambiguous")) return entries;
        const auto first = header.find(' ');
        const auto second = first == std::string::npos ? std::string::npos : header.find(' ', first + 1);
        std::size_t size = 0;
        const char* end = header.data() + header.size();
        const auto parsed = second == std::string::npos
                                ? std::from_chars_result{header.data(), std::errc::invalid_argument}
                                : std::from_chars(header.data() + second + 1, end, size);
        if (parsed.ec != std::errc{} || parsed.ptr != end) {
            git_.fail(args_, "unexpected answer for " + object_name + ": " + header, -1);
        }
        std::string content;
        if (!child_->read_exact(size + 1, content)) git_.fail(args_, child_->wait());
        if (header.compare(first + 1, second - first - 1, "tree") != 0) return entries;
        // "<mode> <name>\0<raw id>" one after the other; the raw id is half as long as the hex one
        const std::size_t id_bytes = first / 2;
        static constexpr char kHex[] = "0123456789abcdef";
        for (std::size_t pos = 0; pos < size;) {
            const auto space = content.find(' ', pos);
            const auto nul = content.find('\0', space);
            if (space == std::string::npos || nul == std::string::npos || nul + id_bytes >= content.size()) break;
            std::string value = content.substr(pos, space - pos) + ' ';
            for (std::size_t i = 0; i < id_bytes; ++i) {
                const auto byte = static_cast<unsigned char>(content[nul + 1 + i]);
                value += kHex[byte >> 4];
                value += kHex[byte & 15];
            }
            entries.emplace(content.substr(space + 1, nul - space - 1), std::move(value));
            pos = nul + 1 + id_bytes;
        }
        return entries;
    }

    const GitRunner& git_;
    Args args_{"cat-file", "--batch"};
    std::optional<zorv_git::process::Child> child_;
    std::unordered_map<std::string, Tree> trees_;  // by the object name asked for
};

const Args kPathOptions = {"--literal-pathspecs", "--no-replace-objects"};

// Where the walk of one path goes from a commit: the path's last commit is found (this commit, or
// `commit` when set), the walk ends without one, or it goes on at the parent `commit`.
struct Step {
    enum class Kind { found, none, parent } kind;
    std::string commit{};
};

}  // namespace

std::string unquote_path(std::string_view text) {
    if (text.size() < 2 || text.front() != '"' || text.back() != '"') return std::string(text);
    const std::string_view body = text.substr(1, text.size() - 2);
    std::string out;
    for (std::size_t i = 0; i < body.size(); ++i) {
        if (body[i] != '\\' || i + 1 == body.size()) {
            out += body[i];
            continue;
        }
        const char c = body[++i];
        const auto octal = [&](std::size_t k) { return k < body.size() && body[k] >= '0' && body[k] <= '7'; };
        if (octal(i) && octal(i + 1) && octal(i + 2)) {  // always three digits: "\303"
            out += static_cast<char>(((body[i] - '0') << 6) | ((body[i + 1] - '0') << 3) | (body[i + 2] - '0'));
            i += 2;
            continue;
        }
        static constexpr std::string_view kFrom = "abfnrtv", kTo = "\a\b\f\n\r\t\v";
        const auto known = kFrom.find(c);
        out += known == std::string_view::npos ? c : kTo[known];
    }
    return out;
}

std::map<std::string, std::string> last_commits(const GitRunner& git, const std::string& tip,
                                                const std::vector<std::string>& paths,
                                                const std::set<std::string>& shallow) {
    std::map<std::string, std::string> found;
    if (paths.empty()) return found;

    // Every commit of the history once, newest first, each with its parents and with the asked-for
    // paths it changes (against its first parent; merges list none). Paths go on standard input,
    // one a line, except those holding a newline.
    Args args = kPathOptions;
    args.insert(args.begin(), {"-c", "core.quotePath=true"});
    args.insert(args.end(), {"log", "--stdin", "--full-history", "--sparse", "--root", "--no-renames",
                             "--diff-merges=off", "--no-follow", "--no-relative", "--no-color",
                             "--no-show-signature", "--name-only", "--format=%x01%H %P", tip, "--"});
    std::string input = "--\n";
    for (const auto& path : paths) {
        if (path.find('\n') == std::string::npos) {
            input += path + '\n';
        } else {
            args.push_back(path);
        }
    }

    TreeReader trees(git);
    // git log's own rule for one path, from a merge on: for a path it cannot be asked about by name
    // (a newline in it).
    const auto git_log = [&](const std::string& commit, const std::string& path) {
        Args one = kPathOptions;
        one.insert(one.end(), {"log", "-1", "--no-follow", "--format=%H", commit, "--", path});
        return git.output(one);
    };
    // git log's simplification for one path: a commit that changes the path against all its parents
    // is the path's last commit; otherwise the walk goes on with the first parent the path is the
    // same in.
    const auto step = [&](const std::string& id, const Listed& commit, const std::string& path) -> Step {
        if (commit.parents.empty()) {
            if (shallow.contains(id) || !commit.touched.contains(path)) return {Step::Kind::none};
            return {Step::Kind::found};
        }
        if (commit.parents.size() == 1) {
            if (commit.touched.contains(path)) return {Step::Kind::found};
            return {Step::Kind::parent, commit.parents.front()};
        }
        if (path.find('\n') != std::string::npos) {
            const std::string last = git_log(id, path);
            if (last.empty() || shallow.contains(last)) return {Step::Kind::none};
            return {Step::Kind::found, last};
        }
        const auto here = trees.entry(id, path);
        for (const auto& parent : commit.parents) {
            if (trees.entry(parent, path) == here) return {Step::Kind::parent, parent};
        }
        return {Step::Kind::found};
    };

    std::unordered_map<std::string, Listed> listed;
    std::unordered_map<std::string, std::vector<const std::string*>> waiting;  // paths by the commit they need
    std::size_t open = paths.size();
    for (const auto& path : paths) waiting[tip].push_back(&path);
    // Moves every walk waiting for a listed commit on, as far as the commits listed so far allow.
    const auto advance = [&](const std::string& id) {
        std::vector<std::string> ready{id};
        while (!ready.empty()) {
            const std::string at = std::move(ready.back());
            ready.pop_back();
            auto node = waiting.extract(at);
            if (node.empty()) continue;
            const Listed& commit = listed.at(at);
            for (const std::string* path : node.mapped()) {
                const Step next = step(at, commit, *path);
                if (next.kind == Step::Kind::parent) {
                    waiting[next.commit].push_back(path);
                    if (listed.contains(next.commit)) ready.push_back(next.commit);
                    continue;
                }
                if (next.kind == Step::Kind::found) found.emplace(*path, next.commit.empty() ? at : next.commit);
                --open;
            }
        }
    };

    auto child = git.start(args);
    try {
        child.write(input);
    } catch (const std::system_error&) {
        git.fail(args, child.wait());
    }
    child.close_stdin();
    std::string line, current;
    while (open > 0 && child.read_line(line)) {
        if (line.starts_with('\x01')) {
            if (!current.empty()) advance(current);
            // "\x01<id> <parent> <parent>..."
            const auto space = line.find(' ');
            current = line.substr(1, space == std::string::npos ? std::string::npos : space - 1);
            Listed& commit = listed[current];
            for (auto start = space; start != std::string::npos && start + 1 < line.size();) {
                const auto end = line.find(' ', start + 1);
                commit.parents.push_back(line.substr(start + 1, end == std::string::npos ? end : end - start - 1));
                start = end;
            }
        } else if (!line.empty() && !current.empty()) {
            add_touched(listed[current], unquote_path(line));
        }
    }
    if (open > 0) {
        if (!current.empty()) advance(current);
        const auto result = child.wait();
        if (!result.ok()) git.fail(args, result);
    }
    return found;
}

}  // namespace zorv_git_gitlab::working_copy
