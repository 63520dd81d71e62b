#include "projects/project.hpp"

#include "rest/api.hpp"
#include "zorv_git_gitlab/errors.hpp"

namespace zorv_git_gitlab::ops {

bool present(const std::optional<Json>& record) {
    return record.has_value() && !record->is_null() && !(record->is_object() && record->empty()) &&
           !(record->is_array() && record->empty());
}

Project require_project(Context& ctx, std::string_view operation, const std::string& project_name,
                        std::int64_t group_id) {
    auto record = ctx.get_project_info(project_name, group_id);
    if (!present(record)) {
        throw ProjectNotFoundError(std::string(operation), project_name, std::to_string(group_id));
    }
    Project project;
    project.name = project_name;
    project.group_id = group_id;
    project.id = rest::field(*record, "id", operation);
    project.id_text = rest::id_text(project.id);
    project.record = std::move(*record);
    return project;
}

}  // namespace zorv_git_gitlab::ops
