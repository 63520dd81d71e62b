// The project lookup: the project named exactly `project_name` in group `group_id`, searched page by page.
#include "rest/api.hpp"
#include "zorv_git_gitlab/operations.hpp"

namespace zorv_git_gitlab::ops {

std::optional<Json> get_project_info(Context& ctx, const std::string& project_name, std::int64_t group_id) {
    rest::Api api(ctx, "get_project_info");
    return api.find(rest::Path{"projects"}, {{"search", project_name}, {"simple", rest::bool_text(true)}},
                    [&](const Json& project) {
                        if (rest::field(project, "name", api.operation()) != project_name) return false;
                        const Json& id = rest::field(rest::field(project, "namespace", api.operation()), "id",
                                                     api.operation());
                        return id.is_number_integer() && id.get<std::int64_t>() == group_id;
                    });
}

}  // namespace zorv_git_gitlab::ops
