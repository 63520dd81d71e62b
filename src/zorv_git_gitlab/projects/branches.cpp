// Reading, creating and deleting branches, each after an existence test.
#include "projects/project.hpp"
#include "output.hpp"
#include "projects/inner_calls.hpp"
#include "rest/api.hpp"
#include "zorv_git_gitlab/operations.hpp"

namespace zorv_git_gitlab::ops {
namespace {

std::optional<Json> branch_of(Context& ctx, const Project& project, const std::string& branch_name) {
    rest::Api api(ctx, "get_branch_info");
    return api.get(rest::Path{"projects", project.id_text, "repository", "branches", branch_name}).json_if({200});
}

}  // namespace

std::optional<Json> inner::get_branch_info(Context& ctx, const Project& project,
                                           const std::string& branch_name) {
    if (reuses_project(ctx, InnerCall::get_branch_info)) return branch_of(ctx, project, branch_name);
    return ctx.get_branch_info(project.name, project.group_id, branch_name);
}

std::optional<Json> get_branch_info(Context& ctx, const std::string& project_name, std::int64_t group_id,
                                    const std::string& branch_name) {
    return branch_of(ctx, require_project(ctx, "get_branch_info", project_name, group_id), branch_name);
}

std::optional<Json> create_branch(Context& ctx, const std::string& project_name, std::int64_t group_id,
                                  const std::string& branch_name, const std::string& ref) {
    rest::Api api(ctx, "create_branch");
    const auto project = require_project(ctx, api.operation(), project_name, group_id);
    if (present(inner::get_branch_info(ctx, project, branch_name))) {
        ctx.report(Outcome{Outcome::Kind::nothing_to_do, {}, "branch " + branch_name + " exists in " + project_name});
        return std::nullopt;
    }
    const Json body = {{"id", project.id}, {"branch", branch_name}, {"ref", ref}};
    return api.post_json(rest::Path{"projects", project.id_text, "repository", "branches"}, body).json_if({201});
}

void delete_branch(Context& ctx, const std::string& project_name, std::int64_t group_id,
                   const std::string& branch_name) {
    rest::Api api(ctx, "delete_branch");
    const auto project = require_project(ctx, api.operation(), project_name, group_id);
    if (!present(inner::get_branch_info(ctx, project, branch_name))) {
        ctx.report(Outcome{Outcome::Kind::not_found, {}, "no branch " + branch_name + " in " + project_name});
        return;
    }
    const auto response = api.del(rest::Path{"projects", project.id_text, "repository", "branches", branch_name});
    // GitLab answers a branch deletion with 204 and no body.
    if (response.status() == 204 || response.status() == 202) {
        print(ctx, "Project " + project_name + "/" + branch_name + " accepted deletion successfully.");
    } else {
        fail(ctx, "Failed to delete the project. Response: ", response);
    }
}

}  // namespace zorv_git_gitlab::ops
