// The commits API (create, list, show), and the repository files API (create, read, raw).
#include "repository/commits.hpp"

#include "repository/object_files.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

namespace zorv_sandbox::repository {
namespace {

[[noreturn]] void bad_request(const std::string& message) { throw ApiError::message(400, message); }

// A file path as GitLab takes it: no leading '/', no empty, '.' or '..' segments.
std::string normalize_path(std::string_view raw) {
    while (!raw.empty() && raw.front() == '/') raw.remove_prefix(1);
    std::string path(raw);
    if (path.empty()) bad_request("You must provide a file path");
    std::size_t start = 0;
    while (start <= path.size()) {
        auto end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const auto seg = std::string_view(path).substr(start, end - start);
        if (seg == "..") bad_request("Path cannot include directory traversal");
        if (seg.empty() || seg == ".") bad_request("Path is invalid");
        start = end + 1;
    }
    if (path.find('\0') != std::string::npos) bad_request("Path is invalid");
    return path;
}

bool directory_exists(const repo::Files& files, const std::string& path) {
    const std::string prefix = path + "/";
    auto it = files.lower_bound(prefix);
    return it != files.end() && it->first.starts_with(prefix);
}

bool parent_is_file(const repo::Files& files, const std::string& path) {
    for (auto slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
        if (files.contains(path.substr(0, slash))) return true;
    return false;
}

constexpr const char* kRegular = "100644";
constexpr const char* kExecutable = "100755";

// The last commit that changed `path` in the history of `commit`, as Gitaly's LastCommitForPath
// finds it (`git log -1`, the path taken literally); none when there is none or `commit` is unknown.
std::optional<std::string> last_commit_of(const repo::GitRepo& git, const std::string& commit,
                                          const std::string& path) {
    std::string out;
    const std::vector<std::string> args{"--literal-pathspecs", "log", "-1", "--no-follow", "--format=%H",
                                        "--end-of-options", commit, "--", path};
    if (git.git_status(args, &out) != 0) return std::nullopt;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    if (out.empty()) return std::nullopt;
    return out;
}

// Files::MultiService#validate_file_status! for every action before any is applied: an update, move,
// delete or chmod with a last_commit_id is refused when the file's last commit on the branch is not
// the file's last commit as of last_commit_id (Files::BaseService#file_has_changed?).
void check_unchanged(const repo::GitRepo& git, const std::string& base, const std::vector<FileAction>& actions) {
    for (const auto& a : actions) {
        if (a.last_commit_id.empty() || a.action == "create") continue;
        const std::string& path = a.previous_path.empty() ? a.file_path : a.previous_path;
        const auto on_branch = last_commit_of(git, base, path);
        if (!on_branch) continue;
        const auto as_known = last_commit_of(git, a.last_commit_id, path);
        if (as_known && *as_known != *on_branch)
            bad_request("The file has changed since you started editing it: " + path);
    }
}

// Whether an action writes a blob: create and update always (no content: an empty file), move when
// it brings content.
bool writes_blob(const FileAction& a) { return a.action == "create" || a.action == "update" || (a.action == "move" && a.content); }

// `oid`: the blob written for the action's content (see writes_blob).
void apply(const FileAction& a, const std::string& oid, repo::Files& files) {
    const std::string path = normalize_path(a.file_path);
    const auto content = [&] { return oid; };
    if (a.action == "create") {
        if (files.contains(path) || parent_is_file(files, path)) bad_request("A file with this name already exists");
        if (directory_exists(files, path)) bad_request("A directory with this name already exists");
        files[path] = repo::TreeEntry{a.execute_filemode.value_or(false) ? kExecutable : kRegular, content()};
        return;
    }
    if (a.action == "move") {
        const std::string from = normalize_path(a.previous_path);
        auto it = files.find(from);
        if (it == files.end()) bad_request("A file with this name doesn't exist");
        if (path != from && (files.contains(path) || parent_is_file(files, path)))
            bad_request("A file with this name already exists");
        repo::TreeEntry entry = it->second;
        files.erase(it);
        if (directory_exists(files, path)) bad_request("A directory with this name already exists");
        if (a.content) entry.oid = content();  // without content the file keeps its own
        files[path] = entry;
        return;
    }
    auto it = files.find(path);
    if (it == files.end()) bad_request("A file with this name doesn't exist");
    if (a.action == "update") {
        it->second.oid = content();  // the mode stays
    } else if (a.action == "delete") {
        files.erase(it);
    } else if (a.action == "chmod") {
        it->second.mode = a.execute_filemode.value_or(false) ? kExecutable : kRegular;
    }
}

}  // namespace

WrittenCommit write_commit(const repo::GitRepo& git, const CommitRequest& r) {
    WrittenCommit out;
    out.repository_was_empty = !git.has_commits();
    const auto current = git.branch_head(r.branch);
    std::optional<std::string> base;
    if (!out.repository_was_empty) {
        if (r.start_sha) {
            base = git.resolve_commit(*r.start_sha);
            if (!base) bad_request("Invalid start SHA: " + *r.start_sha);
        } else {
            const std::string start = r.start_branch.value_or(r.branch);
            base = git.branch_head(start);
            if (!base) bad_request("You can only create or edit files when you are on a branch");
        }
        const bool other_start = r.start_sha || (r.start_branch && *r.start_branch != r.branch);
        if (other_start && current && !r.force)
            bad_request("A branch called '" + r.branch + "' already exists. Switch to that branch in order to make changes");
    }
    if (!current && !git.valid_branch_name(r.branch)) bad_request("Branch name is invalid");

    if (base) check_unchanged(git, *base, r.actions);
    repo::Files files = base ? git.files(*base) : repo::Files{};
    // Every blob of the commit with one git process.
    std::vector<std::string_view> contents;
    for (const auto& action : r.actions)
        if (writes_blob(action)) contents.emplace_back(action.content ? std::string_view(*action.content) : std::string_view());
    const auto oids = git.write_blobs(contents);
    std::size_t next = 0;
    for (const auto& action : r.actions) apply(action, writes_blob(action) ? oids.at(next++) : std::string(), files);

    const std::string tree = git.write_tree(files);
    std::vector<std::string> parents;
    if (base) parents.push_back(*base);
    const std::string sha = git.commit_tree(tree, parents, r.message, r.author, r.committer);
    if (!git.update_ref("refs/heads/" + r.branch, sha, current.value_or(std::string())))
        bad_request("Could not update refs/heads/" + r.branch + ". Please refresh and try again.");
    out.commit = git.commits({sha}).at(0);
    return out;
}

Json publish_commit(Sandbox& sandbox, const ProjectRef& project, const repo::GitRepo& git, const std::string& branch,
                    const WrittenCommit& written) {
    if (written.repository_was_empty) {
        const auto head = git.head_branch();
        if (!head || !git.branch_head(*head)) {
            git.set_head_branch(branch);
            const auto id = project.id;
            sandbox.write([&](State& s) {
                if (auto it = s.projects.find(id); it != s.projects.end()) it->second.record["default_branch"] = branch;
            });
        }
    }
    return pipeline_for(sandbox, project, git, branch, written.commit.id);
}

Json pipeline_for(Sandbox& sandbox, const ProjectRef& project, const repo::GitRepo& git, const std::string& branch,
                  const std::string& sha) {
    // Ci::CreatePipelineService creates nothing for a commit without CI configuration (Auto DevOps
    // is off here): Gitlab::Ci::Pipeline::Chain::Config::Content finds no .gitlab-ci.yml.
    if (git.git_status({"cat-file", "-e", sha + ":.gitlab-ci.yml"}) != 0) return nullptr;
    return sandbox.add_pipeline(project.id, branch, sha);
}

namespace {

// ---------------------------------------------------------------------------------------------
// Request reading

std::string content_of(const Json& value, const std::string& encoding, const std::string& field) {
    if (!value.is_string() && !value.is_null()) throw ApiError::error(400, field + " is invalid");
    static const std::string none;
    const std::string& text = value.is_string() ? value.get_ref<const std::string&>() : none;
    if (encoding != "base64") return text;
    auto decoded = repo::base64_decode(text);
    if (!decoded) throw ApiError::error(400, field + " is invalid");
    return *decoded;
}

std::string encoding_of(const Json& params, const std::string& key) {
    const auto e = param_string(params, key).value_or("text");
    if (e != "text" && e != "base64") throw ApiError::error(400, key + " does not have a valid value");
    return e;
}

FileAction read_action(const Json& a, std::size_t i) {
    const std::string at = "actions[" + std::to_string(i) + "]";
    if (!a.is_object()) throw ApiError::error(400, "actions is invalid");
    FileAction out;
    const auto action = param_string(a, "action");
    if (!action) throw ApiError::error(400, at + "[action] is missing");
    static constexpr std::array<std::string_view, 5> known{"create", "delete", "move", "update", "chmod"};
    if (std::find(known.begin(), known.end(), *action) == known.end())
        throw ApiError::error(400, at + "[action] does not have a valid value");
    out.action = *action;
    const auto path = param_string(a, "file_path");
    if (!path || path->empty()) throw ApiError::error(400, at + "[file_path] is missing");
    out.file_path = *path;
    // The file a last_commit_id speaks of is previous_path when given (a move always gives it).
    out.previous_path = param_string(a, "previous_path").value_or("");
    if (out.action == "move" && out.previous_path.empty()) throw ApiError::error(400, at + "[previous_path] is missing");
    const auto encoding = encoding_of(a, "encoding");
    if (const auto it = a.find("content"); it != a.end() && !it->is_null())
        out.content = content_of(*it, encoding, at + "[content]");
    try {
        out.execute_filemode = param_bool(a, "execute_filemode");
    } catch (const ApiError&) {
        throw ApiError::error(400, at + "[execute_filemode] is invalid");
    }
    out.last_commit_id = param_string(a, "last_commit_id").value_or("");
    return out;
}

CommitRequest read_common(Context& ctx, const Json& p) {
    CommitRequest r;
    r.branch = *param_string(p, "branch");
    r.message = *param_string(p, "commit_message");
    r.start_branch = param_string(p, "start_branch");
    if (r.start_branch && r.start_branch->empty()) r.start_branch.reset();
    r.start_sha = param_string(p, "start_sha");
    if (r.start_sha && r.start_sha->empty()) r.start_sha.reset();
    r.force = param_bool(p, "force").value_or(false);
    r.committer = caller_identity(ctx);
    r.author = r.committer;
    // GitLab takes the author only when both parts are given.
    const auto name = param_string(p, "author_name");
    const auto email = param_string(p, "author_email");
    if (name && !name->empty()) r.author.name = *name;
    if (email && !email->empty()) r.author.email = *email;
    return r;
}

// ---------------------------------------------------------------------------------------------
// Handlers

void create_commit(Context& ctx) {
    const Json& p = ctx.params();
    require_params(p, {"branch", "commit_message", "actions"});
    const auto& actions = p.at("actions");
    if (!actions.is_array()) throw ApiError::error(400, "actions is invalid");
    const auto project = ctx.project();
    CommitRequest r = read_common(ctx, p);
    for (std::size_t i = 0; i < actions.size(); ++i) r.actions.push_back(read_action(actions[i], i));

    const repo::GitRepo git(project.repository);
    Json pipeline;
    WrittenCommit written;
    {
        const auto lock = ctx.sandbox.repository_lock(project.repository);
        std::lock_guard guard(*lock);
        written = write_commit(git, r);
        pipeline = publish_commit(ctx.sandbox, project, git, r.branch, written);
    }
    send_json(ctx.res, 201, commit_detail(git, written.commit, project, pipeline));
}

void create_file(Context& ctx) {
    const Json& p = ctx.params();
    require_params(p, {"branch", "commit_message"});
    if (!p.contains("content") || p.at("content").is_null()) throw ApiError::error(400, "content is missing");
    const auto project = ctx.project();
    CommitRequest r = read_common(ctx, p);
    FileAction a;
    a.action = "create";
    a.file_path = ctx.arg("file_path");
    a.content = content_of(p.at("content"), encoding_of(p, "encoding"), "content");
    a.execute_filemode = param_bool(p, "execute_filemode");
    r.actions.push_back(std::move(a));

    const repo::GitRepo git(project.repository);
    {
        const auto lock = ctx.sandbox.repository_lock(project.repository);
        std::lock_guard guard(*lock);
        const auto written = write_commit(git, r);
        publish_commit(ctx.sandbox, project, git, r.branch, written);
    }
    send_json(ctx.res, 201, Json{{"file_path", normalize_path(ctx.arg("file_path"))}, {"branch", r.branch}});
}

struct FoundFile {
    std::string commit, path;
    repo::TreeEntry entry;
};

FoundFile find_file(Context& ctx, const ProjectRef& project, const std::string& ref) {
    const repo::GitRepo git(project.repository);
    const auto commit = git.resolve_commit(ref);
    if (!commit) throw ApiError::message(404, "404 Commit Not Found");
    std::string path(ctx.arg("file_path"));
    while (!path.empty() && path.front() == '/') path.erase(0, 1);
    const auto files = git.files(*commit);
    const auto it = files.find(path);
    if (it == files.end()) throw ApiError::message(404, "404 File Not Found");
    return {*commit, path, it->second};
}

void get_file(Context& ctx) {
    const Json& p = ctx.params();
    require_params(p, {"ref"});
    const auto project = ctx.project();
    const std::string ref = *param_string(p, "ref");
    const auto f = find_file(ctx, project, ref);
    const repo::GitRepo git(project.repository);
    const auto content = git.read_blob(f.entry.oid);
    const auto slash = f.path.rfind('/');
    Json j = Json::object();
    j["file_name"] = utf8_clean(slash == std::string::npos ? f.path : f.path.substr(slash + 1));
    j["file_path"] = utf8_clean(f.path);
    j["size"] = content.size();
    j["encoding"] = "base64";
    j["content_sha256"] = repo::object_files::sha256_hex(content);
    j["ref"] = ref;
    j["blob_id"] = f.entry.oid;
    j["commit_id"] = f.commit;
    j["last_commit_id"] = git.last_commit_for_path(f.commit, f.path).value_or(f.commit);
    j["execute_filemode"] = f.entry.mode == kExecutable;
    j["content"] = repo::base64_encode(content);
    send_json(ctx.res, 200, j);
}

void get_raw_file(Context& ctx) {
    const Json& p = ctx.params();
    const auto project = ctx.project();
    std::string ref = param_string(p, "ref").value_or("");
    if (ref.empty()) ref = default_branch(project);
    const auto f = find_file(ctx, project, ref);
    const repo::GitRepo git(project.repository);
    ctx.res.status = 200;
    ctx.res.set_content(git.read_blob(f.entry.oid), "text/plain; charset=utf-8");
}

bool invalid_ref_name(std::string_view ref) {
    return ref.starts_with("-") || ref.find_first_of(" \t\r\n") != std::string_view::npos;
}

void list_commits(Context& ctx) {
    const Json& p = ctx.params();
    const auto project = ctx.project();
    const bool all = param_bool(p, "all").value_or(false);
    std::string ref = param_string(p, "ref_name").value_or("");
    if (ref.empty()) ref = default_branch(project);
    if (invalid_ref_name(ref)) throw ApiError::message(400, "ref_name is invalid");

    std::vector<std::string> options;
    for (const char* key : {"since", "until"}) {
        if (const auto v = param_string(p, key); v && !v->empty()) {
            if (!parse_iso(*v)) throw ApiError::error(400, std::string(key) + " is invalid");
            options.push_back(std::string("--") + key + "=" + *v);
        }
    }
    if (const auto author = param_string(p, "author"); author && !author->empty())
        options.push_back("--author=" + *author);
    if (param_bool(p, "first_parent").value_or(false)) options.emplace_back("--first-parent");
    if (param_string(p, "order").value_or("default") == "topo") options.emplace_back("--topo-order");
    if (all) options.emplace_back("--all");
    const std::string path = param_string(p, "path").value_or("");
    const bool with_stats = param_bool(p, "with_stats").value_or(false);

    const Page page = page_of(p);
    const repo::GitRepo git(project.repository);
    std::vector<repo::CommitInfo> commits;
    try {
        std::vector<std::string> revs;
        if (!all) revs.push_back(ref);
        commits = git.log(revs, page.offset(), static_cast<std::size_t>(page.per_page), options, path);
    } catch (const repo::GitError&) {
        // An unknown ref or range lists nothing, as on GitLab.
    }
    // send_page() slices the page out of the full list; the commits before the page were not read,
    // so nulls stand in for them. Without totals it needs nothing else.
    Json items = Json::array();
    for (std::size_t i = 0; i < page.offset(); ++i) items.push_back(nullptr);
    for (const auto& c : commits) {
        Json record = commit_record(c, project);
        if (with_stats) {
            const auto s = git.stats(c);
            record["stats"] = Json{{"additions", s.additions}, {"deletions", s.deletions}, {"total", s.additions + s.deletions}};
        }
        items.push_back(std::move(record));
    }
    send_page(ctx.req, ctx.res, items, PageOptions{.count_total = false});
}

void get_commit(Context& ctx) {
    const auto project = ctx.project();
    const repo::GitRepo git(project.repository);
    const auto sha = git.resolve_commit(ctx.arg("sha"));
    if (!sha) throw ApiError::message(404, "404 Commit Not Found");
    const auto commit = git.commits({*sha}).at(0);
    send_json(ctx.res, 200, commit_detail(git, commit, project, nullptr));
}

}  // namespace

void register_commit_routes(Sandbox& sb) {
    sb.route("POST", "/api/v4/projects/:id/repository/commits", create_commit);
    sb.route("GET", "/api/v4/projects/:id/repository/commits", list_commits);
    sb.route("GET", "/api/v4/projects/:id/repository/commits/:sha", get_commit);
    sb.route("POST", "/api/v4/projects/:id/repository/files/:file_path", create_file);
    sb.route("GET", "/api/v4/projects/:id/repository/files/:file_path", get_file);
    sb.route("GET", "/api/v4/projects/:id/repository/files/:file_path/raw", get_raw_file);
}

}  // namespace zorv_sandbox::repository
