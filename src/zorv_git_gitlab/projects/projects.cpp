// Creating and deleting whole projects.
#include "projects/project.hpp"
#include "output.hpp"
#include "projects/inner_calls.hpp"
#include "rest/api.hpp"
#include "zorv_git_gitlab/errors.hpp"
#include "zorv_git_gitlab/operations.hpp"

namespace zorv_git_gitlab::ops {
namespace {

// The member `key` of `record`; null when there is none.
const Json& member(const Json& record, const char* key) {
    static const Json none;
    const auto it = record.find(key);
    return it == record.end() ? none : *it;
}

// The project that the server's answer to its creation describes, when that answer is a record with an
// id, named `project_name` in group `group_id` (the project the lookup would find).
std::optional<Project> created_project(const rest::Response& response, const std::string& project_name,
                                             std::int64_t group_id) {
    if (response.status() != 201) return std::nullopt;
    Json record;
    try {
        record = response.json();
    } catch (const JsonDecodeError&) {
        return std::nullopt;
    }
    const Json& name = member(record, "name");
    const Json& group = member(member(record, "namespace"), "id");
    const Json& id = member(record, "id");
    if (name != project_name || !group.is_number_integer() || group.get<std::int64_t>() != group_id) return std::nullopt;
    if (!id.is_number_integer() && !id.is_string()) return std::nullopt;
    Json id_value = id;
    std::string id_text = rest::id_text(id_value);
    return Project{project_name, group_id, std::move(record), std::move(id_value), std::move(id_text)};
}

}  // namespace

void create_project(Context& ctx, const std::string& project_name, std::int64_t group_id) {
    rest::Api api(ctx, "create_project");
    const Json body = {{"name", project_name},
                       {"description", project_name},
                       {"path", project_name},
                       {"namespace_id", std::to_string(group_id)},
                       {"visibility", "internal"}};
    const auto response = api.post_json(rest::Path{"projects"}, body);
    if (response.status() == 201) {
        print(ctx, "Project " + project_name + " created successfully.");
    } else {
        fail(ctx, "Failed to create the project. Response: ", response);
    }
    // Seeded whatever the answer: a project that already existed gets its README too.
    if (const auto created = created_project(response, project_name, group_id)) {
        inner::commit_file(ctx, *created, "README.md", "Hello World");
    } else {
        ctx.commit_file(project_name, group_id, "README.md", "Hello World");
    }
}

void delete_project(Context& ctx, const std::string& project_name, std::int64_t group_id) {
    rest::Api api(ctx, "delete_project");
    const auto project = ctx.get_project_info(project_name, group_id);
    if (!present(project)) {
        print(ctx, "Project " + project_name + " doesn't exist", Outcome::Kind::not_found);
        return;
    }
    const auto id = rest::id_text(rest::field(*project, "id", api.operation()));
    const auto response = api.del(rest::Path{"projects", id});
    if (response.status() == 202) {
        print(ctx, "Project " + project_name + " accepted deletion successfully.");
    } else {
        fail(ctx, "Failed to delete the project. Response: ", response);
    }
}

}  // namespace zorv_git_gitlab::ops
