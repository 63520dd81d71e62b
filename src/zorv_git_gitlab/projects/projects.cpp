// Creating and deleting whole projects.
#include "rest/api.hpp"
#include "zorv_git_gitlab/operations.hpp"

namespace zorv_git_gitlab::ops {

void create_project(Context& ctx, const std::string& project_name, std::int64_t group_id) {
    rest::Api api(ctx, "create_project");
    const Json body = {{"name", project_name},
                       {"description", project_name},
                       {"path", project_name},
                       {"namespace_id", std::to_string(group_id)},
                       {"visibility", "internal"}};
    const auto response = api.post_json(rest::Path{"projects"}, body);
    if (response.status() == 201) {
        api.print("Project " + project_name + " created successfully.");
    } else {
        api.fail("Failed to create the project. Response: ", response);
    }
    // Seeded whatever the answer: a project that already existed gets its README too.
    ctx.commit_file(project_name, group_id, "README.md", "Hello World");
}

void delete_project(Context& ctx, const std::string& project_name, std::int64_t group_id) {
    rest::Api api(ctx, "delete_project");
    const auto project = ctx.get_project_info(project_name, group_id);
    if (!rest::present(project)) {
        api.print("Project " + project_name + " doesn't exist", Outcome::Kind::not_found);
        return;
    }
    const auto id = rest::id_text(rest::field(*project, "id", api.operation()));
    const auto response = api.del(rest::Path{"projects", id});
    if (response.status() == 202) {
        api.print("Project " + project_name + " accepted deletion successfully.");
    } else {
        api.fail("Failed to delete the project. Response: ", response);
    }
}

}  // namespace zorv_git_gitlab::ops
