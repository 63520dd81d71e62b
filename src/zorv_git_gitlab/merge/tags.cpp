// Tags and the commits between two refs.
#include "projects/project.hpp"
#include "output.hpp"
#include "projects/inner_calls.hpp"
#include "rest/api.hpp"
#include "zorv_git_gitlab/operations.hpp"

namespace zorv_git_gitlab::ops {
namespace {

std::optional<Json> tag_of(Context& ctx, const std::string& tag_name, const Project& project) {
    rest::Api api(ctx, "get_tag_info");
    return api.get(rest::Path{"projects", project.id_text, "repository", "tags", tag_name}).json_if({200});
}

}  // namespace

std::optional<Json> get_commits_by_range(Context& ctx, const std::string& start_ref, const std::string& end_ref,
                                         const std::string& project_name, std::int64_t group_id) {
    rest::Api api(ctx, "get_commits_by_range");
    const auto project = require_project(ctx, api.operation(), project_name, group_id);
    return api.get_all(rest::Path{"projects", project.id_text, "repository", "commits"},
                       {{"ref_name", start_ref + "..." + end_ref}});
}

std::optional<Json> get_tag_list(Context& ctx, const std::string& project_name, std::int64_t group_id) {
    rest::Api api(ctx, "get_tag_list");
    const auto project = require_project(ctx, api.operation(), project_name, group_id);
    return api.get_all(rest::Path{"projects", project.id_text, "repository", "tags"}, {{"order_by", "version"}});
}

std::optional<Json> inner::get_tag_info(Context& ctx, const std::string& tag_name, const Project& project) {
    if (reuses_project(ctx, InnerCall::get_tag_info)) return tag_of(ctx, tag_name, project);
    return ctx.get_tag_info(tag_name, project.name, project.group_id);
}

std::optional<Json> get_tag_info(Context& ctx, const std::string& tag_name, const std::string& project_name,
                                 std::int64_t group_id) {
    return tag_of(ctx, tag_name, require_project(ctx, "get_tag_info", project_name, group_id));
}

void tag_project(Context& ctx, const std::string& tag_name, const std::string& project_name,
                 const std::string& remote_branch, std::int64_t group_id) {
    rest::Api api(ctx, "tag_project");
    const auto project = require_project(ctx, api.operation(), project_name, group_id);
    if (present(inner::get_tag_info(ctx, tag_name, project))) {
        ctx.report(Outcome{Outcome::Kind::nothing_to_do, {}, "tag " + tag_name + " exists in " + project_name});
        return;
    }
    const auto response = api.post_form(rest::Path{"projects", project.id_text, "repository", "tags"},
                                        {{"tag_name", tag_name}, {"ref", remote_branch}, {"message", tag_name}});
    if (response.status() == 201) {
        print(ctx, "Successfully tagged " + tag_name);
    } else {
        fail(ctx, "Failed to tag " + tag_name + ":", response);
    }
}

}  // namespace zorv_git_gitlab::ops
