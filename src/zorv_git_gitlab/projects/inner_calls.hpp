// Inner calls made by an operation that has already found its project. Where the context runs the
// library's own inner call and its own project lookup, the call runs with that project instead of
// asking the server for it again; otherwise the context's call runs as documented, lookup included.
#pragma once

#include <optional>
#include <string>

#include "projects/project.hpp"
#include "rest/api.hpp"
#include "zorv_git_gitlab/context.hpp"
#include "zorv_git_gitlab/json.hpp"

namespace zorv_git_gitlab::ops::inner {

// True when `call` may run with a project already found: the context replaces neither it nor the lookup.
inline bool reuses_project(const Context& ctx, InnerCall call) noexcept {
    return !ctx.redefines(call) && !ctx.redefines(InnerCall::get_project_info);
}

std::optional<Json> get_branch_info(Context& ctx, const Project& project, const std::string& branch_name);
std::optional<Json> get_tag_info(Context& ctx, const std::string& tag_name, const Project& project);
void commit_file(Context& ctx, const Project& project, const std::string& filename,
                 const std::string& file_content);

}  // namespace zorv_git_gitlab::ops::inner
