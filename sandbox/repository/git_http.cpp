// Git over HTTPS: /<full path>.git/info/refs, /git-upload-pack and /git-receive-pack, answered
// by `git http-backend` run as a CGI program. Basic authentication with any user name and an
// access token as the password, as GitLab takes it.
#include "repository/commits.hpp"

#include "zorv_git/process.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>

namespace zorv_sandbox::repository {
namespace {

namespace zp = zorv_git::process;

struct GitPath {
    std::string project;  // full path of the project
    std::string suffix;   // "/info/refs", "/git-upload-pack", "/git-receive-pack"
};

std::optional<GitPath> split_git_path(const std::string& path, const std::string& method) {
    static const std::array<std::pair<std::string_view, std::string_view>, 3> endpoints{
        {{"/info/refs", "GET"}, {"/git-upload-pack", "POST"}, {"/git-receive-pack", "POST"}}};
    for (const auto& [suffix, verb] : endpoints) {
        if (method != verb || !path.ends_with(suffix)) continue;
        std::string project = path.substr(0, path.size() - suffix.size());
        if (project.ends_with(".git")) project.resize(project.size() - 4);
        while (!project.empty() && project.front() == '/') project.erase(0, 1);
        if (project.empty()) return std::nullopt;
        return GitPath{project, std::string(suffix)};
    }
    return std::nullopt;
}

// The password of a Basic Authorization header.
std::optional<std::string> basic_password(const httplib::Request& req) {
    const auto header = req.get_header_value("Authorization");
    if (header.size() < 6) return std::nullopt;
    if (lower_ascii(header.substr(0, 6)) != "basic ") return std::nullopt;
    const auto decoded = repo::base64_decode(header.substr(6));
    if (!decoded) return std::nullopt;
    const auto colon = decoded->find(':');
    if (colon == std::string::npos) return std::nullopt;
    return decoded->substr(colon + 1);
}

void answer_text(httplib::Response& res, int status, const std::string& text) {
    res.status = status;
    res.set_content(text, "text/plain; charset=utf-8");
}

// Gitlab::Auth#abilities_for_scopes (lib/gitlab/auth.rb): api and write_repository may push;
// they, read_api and read_repository may fetch.
bool has_scope(const Caller& caller, std::initializer_list<std::string_view> scopes) {
    for (const auto& scope : caller.scopes)
        if (std::find(scopes.begin(), scopes.end(), scope.get<std::string>()) != scopes.end()) return true;
    return false;
}
bool may_push(const Caller& caller) { return has_scope(caller, {"api", "write_repository"}); }
bool may_fetch(const Caller& caller) {
    return has_scope(caller, {"api", "write_repository", "read_api", "read_repository"});
}

// Turns http-backend's CGI answer (headers, blank line, body) into the response.
void send_cgi_output(httplib::Response& res, std::string& out) {
    std::size_t header_end = out.find("\r\n\r\n");
    std::size_t body_start = header_end + 4;
    if (const auto lf = out.find("\n\n"); lf != std::string::npos && (header_end == std::string::npos || lf < header_end)) {
        header_end = lf;
        body_start = lf + 2;
    }
    if (header_end == std::string::npos) {
        answer_text(res, 500, "git http-backend gave no headers\n");
        return;
    }
    int status = 200;
    std::string content_type = "application/octet-stream";
    std::string_view headers(out.data(), header_end);
    while (!headers.empty()) {
        auto eol = headers.find('\n');
        auto line = headers.substr(0, eol);
        headers = eol == std::string_view::npos ? std::string_view{} : headers.substr(eol + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        std::string name(line.substr(0, colon));
        auto value = line.substr(colon + 1);
        while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
        const std::string lname = lower_ascii(name);
        if (lname == "status") {
            status = std::atoi(std::string(value.substr(0, 3)).c_str());
        } else if (lname == "content-type") {
            content_type = value;
        } else if (lname != "content-length") {
            res.set_header(name, std::string(value));
        }
    }
    res.status = status;
    res.set_content(out.substr(body_start), content_type);
}

// A git request let through: what it asks for, of which project, by whom.
struct Access {
    GitPath target;
    ProjectRef project;
    Caller caller;
    bool push = false;
};

// Answers a request that may not go on as GitLab does (404, 401, 403) and returns nullopt;
// else what it may do.
std::optional<Access> admit(Context& ctx) {
    auto target = split_git_path(ctx.arg("path"), ctx.req.method);
    if (!target) {
        send_error(ctx.res, 404, "404 Not Found");
        return std::nullopt;
    }
    const auto password = basic_password(ctx.req);
    auto caller = password ? ctx.sandbox.authenticate(*password) : std::nullopt;
    if (!caller) {
        ctx.res.set_header("WWW-Authenticate", "Basic realm=\"GitLab\"");
        answer_text(ctx.res, 401, "HTTP Basic: Access denied\n");
        return std::nullopt;
    }
    auto project = ctx.sandbox.resolve_project(target->project);
    if (!project) {
        answer_text(ctx.res, 404, "The project you were looking for could not be found or you don't have permission to view it.\n");
        return std::nullopt;
    }
    const bool push = target->suffix == "/git-receive-pack" ||
                      (target->suffix == "/info/refs" && ctx.req.get_param_value("service") == "git-receive-pack");
    // Gitlab::GitAccess's messages (lib/gitlab/git_access.rb), answered 403 by
    // Repositories::GitHttpController.
    if (push && !may_push(*caller)) {
        answer_text(ctx.res, 403, "You are not allowed to push code to this project.\n");
        return std::nullopt;
    }
    if (!push && !may_fetch(*caller)) {
        answer_text(ctx.res, 403, "You are not allowed to download code from this project.\n");
        return std::nullopt;
    }
    return Access{std::move(*target), std::move(*project), std::move(*caller), push};
}

// The name http-backend is told the pushing user has.
std::string remote_user(const Context& ctx, const Caller& caller) {
    const auto username = ctx.sandbox.read(
        [&](const State& s) { return str_field(ctx.sandbox.user_record(s, caller.user_id), "username"); });
    return username.empty() ? std::string("git") : username;
}

// The CGI environment of `git http-backend` for the request, with the request's body as input.
zp::Options backend_options(const Context& ctx, const Access& access) {
    const auto& repository = access.project.repository;
    zp::Options o;
    o.cwd = repository.parent_path();
    o.env = {{"GIT_PROJECT_ROOT", repository.parent_path().string()},
             {"PATH_INFO", "/" + repository.filename().string() + access.target.suffix},
             {"REQUEST_METHOD", ctx.req.method},
             {"QUERY_STRING", ctx.raw_query},
             {"CONTENT_TYPE", ctx.req.get_header_value("Content-Type")},
             {"REMOTE_ADDR", ctx.req.remote_addr},
             {"SERVER_PROTOCOL", "HTTP/1.1"},
             {"GATEWAY_INTERFACE", "CGI/1.1"},
             {"GIT_HTTP_EXPORT_ALL", "1"},
             {"GIT_CONFIG_NOSYSTEM", "1"},
             {"GIT_CONFIG_GLOBAL", "/dev/null"},
             {"LC_ALL", "C"}};
    // http-backend accepts pushes only from an authenticated user.
    if (access.push) o.env.emplace_back("REMOTE_USER", remote_user(ctx, access.caller));
    if (ctx.req.method == "POST") o.env.emplace_back("CONTENT_LENGTH", std::to_string(ctx.req.body.size()));
    if (ctx.req.has_header("Git-Protocol")) o.env.emplace_back("HTTP_GIT_PROTOCOL", ctx.req.get_header_value("Git-Protocol"));
    // The HTTP server inflates gzip'ed bodies itself; only a body still compressed goes to git as such.
    const bool gzipped = ctx.req.body.size() >= 2 && ctx.req.body[0] == '\x1f' && ctx.req.body[1] == '\x8b';
    if (gzipped && ctx.req.get_header_value("Content-Encoding").find("gzip") != std::string::npos)
        o.env.emplace_back("HTTP_CONTENT_ENCODING", "gzip");
    o.unset_env = {"GIT_DIR", "GIT_INDEX_FILE", "GIT_WORK_TREE", "GIT_OBJECT_DIRECTORY",
                   "GIT_ALTERNATE_OBJECT_DIRECTORIES", "GIT_NAMESPACE", "GIT_COMMON_DIR", "GIT_CONFIG_PARAMETERS",
                   "GIT_CONFIG_COUNT", "REMOTE_USER", "HTTP_CONTENT_ENCODING", "HTTP_GIT_PROTOCOL", "CONTENT_LENGTH"};
    o.stdin_data = ctx.req.body;
    o.timeout = std::chrono::minutes(10);
    return o;
}

using Branches = std::vector<std::pair<std::string, std::string>>;  // name, sha

// Each branch that a push created or moved gets a pipeline; the first branch pushed into an
// empty repository becomes its default.
void publish_pushed(Sandbox& sb, const ProjectRef& project, const repo::GitRepo& git, const Branches& before,
                    const Branches& after) {
    for (const auto& [name, sha] : after) {
        const auto old = std::find_if(before.begin(), before.end(), [&](const auto& b) { return b.first == name; });
        if (old != before.end() && old->second == sha) continue;
        WrittenCommit written;
        written.repository_was_empty = before.empty();
        written.commit.id = sha;
        publish_commit(sb, project, git, name, written);
    }
}

// A push, under the repository's lock, and what it changed published.
zp::Result receive_pack(Context& ctx, const ProjectRef& project, const zp::Options& options) {
    const repo::GitRepo git(project.repository);
    const auto lock = ctx.sandbox.repository_lock(project.repository);
    std::lock_guard guard(*lock);
    const auto before = git.branches();
    zp::Result r = zp::run({"git", "http-backend"}, options);
    publish_pushed(ctx.sandbox, project, git, before, git.branches());
    return r;
}

void serve(Context& ctx) {
    const auto access = admit(ctx);
    if (!access) return;
    const zp::Options options = backend_options(ctx, *access);
    zp::Result r = access->target.suffix == "/git-receive-pack"
                       ? receive_pack(ctx, access->project, options)
                       : zp::run({"git", "http-backend"}, options);
    if (r.exit_code != 0 && r.out.empty()) {
        answer_text(ctx.res, 500, "git http-backend failed: " + r.err);
        return;
    }
    send_cgi_output(ctx.res, r.out);
}

}  // namespace

void register_git_http_routes(Sandbox& sb) {
    sb.route("GET", "/*path", serve, Auth::none);
    sb.route("POST", "/*path", serve, Auth::none);
}

}  // namespace zorv_sandbox::repository
