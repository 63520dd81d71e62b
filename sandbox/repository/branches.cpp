// Branches: list, show, create from a ref, delete.
#include "repository/commits.hpp"

#include <algorithm>
#include <set>
#include <unordered_map>

namespace zorv_sandbox::repository {
namespace {

void list_branches(Context& ctx) {
    const Json& p = ctx.params();
    const auto project = ctx.project();
    const repo::GitRepo git(project.repository);
    const std::string search = param_string(p, "search").value_or("");
    const std::string sort = param_string(p, "sort").value_or("name_asc");
    if (sort != "name_asc" && sort != "updated_asc" && sort != "updated_desc")
        throw ApiError::error(400, "sort does not have a valid value");

    std::vector<std::pair<std::string, std::string>> branches;
    for (auto& b : git.branches())
        if (matches_search(search, {b.first}, {.anchors = true})) branches.push_back(std::move(b));

    const std::string def = default_branch(project);
    std::set<std::string> merged;
    if (const auto head = git.branch_head(def)) {
        for (auto& name : git.branches_merged_into(*head))
            if (name != def) merged.insert(std::move(name));
    }
    std::vector<std::string> ids;
    for (const auto& b : branches) ids.push_back(b.second);
    std::unordered_map<std::string, repo::CommitInfo> commits;
    for (auto& c : git.commits(ids)) commits.emplace(c.id, std::move(c));

    if (sort != "name_asc") {
        std::stable_sort(branches.begin(), branches.end(), [&](const auto& a, const auto& b) {
            const auto ta = commits[a.second].committed_at, tb = commits[b.second].committed_at;
            return sort == "updated_asc" ? ta < tb : ta > tb;
        });
    }
    Json items = Json::array();
    for (const auto& [name, sha] : branches)
        items.push_back(branch_record(name, commits[sha], merged.contains(name), project));
    send_page(ctx.req, ctx.res, items);
}

Json branch_json(const repo::GitRepo& git, const ProjectRef& project, const std::string& name, const std::string& sha) {
    const std::string def = default_branch(project);
    bool merged = false;
    if (name != def) {
        if (const auto head = git.branch_head(def)) merged = git.is_ancestor(sha, *head);
    }
    return branch_record(name, git.commits({sha}).at(0), merged, project);
}

void get_branch(Context& ctx) {
    const auto project = ctx.project();
    const repo::GitRepo git(project.repository);
    const std::string& name = ctx.arg("branch");
    const auto sha = git.branch_head(name);
    if (!sha) throw ApiError::message(404, "404 Branch Not Found");
    send_json(ctx.res, 200, branch_json(git, project, name, *sha));
}

void create_branch(Context& ctx) {
    const Json& p = ctx.params();
    require_params(p, {"branch", "ref"});
    const std::string name = *param_string(p, "branch");
    const std::string ref = *param_string(p, "ref");
    const auto project = ctx.project();
    const repo::GitRepo git(project.repository);
    const auto lock = ctx.sandbox.repository_lock(project.repository);
    std::lock_guard guard(*lock);

    if (!git.has_commits()) {
        // GitLab starts an empty repository with an empty README on its default branch first
        // (Branches::CreateService#create_default_branch, app/services/branches/create_service.rb).
        CommitRequest readme;
        readme.branch = default_branch(project);
        readme.message = "Add README.md";
        readme.committer = readme.author = caller_identity(ctx);
        readme.actions.push_back(FileAction{.action = "create", .file_path = "README.md", .content = std::string()});
        const auto written = write_commit(git, readme);
        publish_commit(ctx.sandbox, project, git, readme.branch, written);
    }
    if (!git.valid_branch_name(name)) throw ApiError::message(400, "Branch name is invalid");
    if (git.branch_head(name)) throw ApiError::message(400, "Branch already exists");
    const auto sha = git.resolve_commit(ref);
    if (!sha) throw ApiError::message(400, "Invalid reference name: " + ref);
    if (!git.update_ref("refs/heads/" + name, *sha, {})) throw ApiError::message(400, "Branch already exists");
    send_json(ctx.res, 201, branch_json(git, project, name, *sha));
}

void delete_branch(Context& ctx) {
    const auto project = ctx.project();
    const repo::GitRepo git(project.repository);
    const std::string& name = ctx.arg("branch");
    const auto lock = ctx.sandbox.repository_lock(project.repository);
    std::lock_guard guard(*lock);
    const auto sha = git.branch_head(name);
    if (!sha) throw ApiError::message(404, "404 Branch Not Found");
    if (name == default_branch(project))
        throw ApiError::message(400, "The default branch of a project cannot be deleted.");
    if (!git.delete_ref("refs/heads/" + name, *sha)) throw ApiError::message(400, "Failed to remove branch");
    send_empty(ctx.res, 204);
}

}  // namespace

void register_branch_routes(Sandbox& sb) {
    sb.route("GET", "/api/v4/projects/:id/repository/branches", list_branches);
    sb.route("GET", "/api/v4/projects/:id/repository/branches/:branch", get_branch);
    sb.route("POST", "/api/v4/projects/:id/repository/branches", create_branch);
    sb.route("DELETE", "/api/v4/projects/:id/repository/branches/:branch", delete_branch);
}

}  // namespace zorv_sandbox::repository
