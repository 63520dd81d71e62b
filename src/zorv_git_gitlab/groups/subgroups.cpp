// Subgroups of a parent group, and the subgroup lookup.
#include "projects/project.hpp"
#include "output.hpp"
#include "rest/api.hpp"
#include "zorv_git_gitlab/errors.hpp"
#include "zorv_git_gitlab/operations.hpp"

namespace zorv_git_gitlab::ops {

bool create_sub_group(Context& ctx, const std::string& group_name, std::int64_t parent_id) {
    rest::Api api(ctx, "create_sub_group");
    const Json body = {{"name", group_name}, {"path", group_name}, {"parent_id", parent_id}};
    const auto response = api.post_json(rest::Path{"groups"}, body);
    if (response.status() == 201) {
        print(ctx, "Subgroup created successfully.");
        return true;
    }
    fail(ctx, "Failed to create subgroup. Response:", response);
    return false;
}

std::optional<Json> get_sub_group_info(Context& ctx, const std::string& group_name, std::int64_t parent_id) {
    rest::Api api(ctx, "get_sub_group_info");
    return api.find(rest::Path{"groups", std::to_string(parent_id), "subgroups"}, {}, [&](const Json& group) {
        return rest::field(group, "name", api.operation()) == group_name;
    });
}

std::optional<std::int64_t> get_sub_group_id(Context& ctx, const std::string& group_name, std::int64_t parent_id,
                                             bool raise_error) {
    const auto group = ctx.get_sub_group_info(group_name, parent_id);
    if (present(group)) {
        const Json& id = rest::field(*group, "id", "get_sub_group_id");
        if (id.is_number_integer()) return id.get<std::int64_t>();
        throw JsonDecodeError("get_sub_group_id: the id of subgroup " + group_name + " is not an integer: " +
                              id.dump(-1, ' ', false, Json::error_handler_t::replace));
    }
    if (raise_error) throw SubgroupNotFoundError("Group " + group_name + " can not be found");
    return std::nullopt;
}

bool delete_sub_group(Context& ctx, const std::string& group_name, std::int64_t parent_id) {
    rest::Api api(ctx, "delete_sub_group");
    const auto group = ctx.get_sub_group_info(group_name, parent_id);
    const Json* id = nullptr;
    if (present(group) && group->is_object()) {
        if (const auto it = group->find("id"); it != group->end()) id = &*it;
    }
    if (!id || id->is_null() || (id->is_number() && id->get<double>() == 0)) {
        print(ctx, "Subgroup Not Found", Outcome::Kind::not_found);
        return true;
    }
    const auto response = api.del(rest::Path{"groups", rest::id_text(*id)});
    if (response.status() == 202) {
        print(ctx, "Subgroup deleted successfully.");
        return true;
    }
    fail(ctx, "Failed to delete subgroup. Response:", response);
    return false;
}

}  // namespace zorv_git_gitlab::ops
