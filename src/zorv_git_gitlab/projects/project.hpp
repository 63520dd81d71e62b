// The project an operation works on, found through the context's project lookup (so that a redefined
// lookup applies to every operation).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "zorv_git_gitlab/context.hpp"
#include "zorv_git_gitlab/json.hpp"

namespace zorv_git_gitlab::ops {

// Its name and group as the caller gave them, the record, and its id.
struct Project {
    std::string name;
    std::int64_t group_id = 0;
    Json record;
    Json id;              // the "id" field, as the server sent it
    std::string id_text;  // the id as it stands in URLs
};

// Raises ProjectNotFoundError (naming the operation, project and group) when the lookup finds nothing.
Project require_project(Context& ctx, std::string_view operation, const std::string& project_name,
                        std::int64_t group_id);

// True for a record that is present and not empty.
bool present(const std::optional<Json>& record);

}  // namespace zorv_git_gitlab::ops
