// Committing one new file through the repository files API.
#include "projects/project.hpp"
#include "output.hpp"
#include "projects/inner_calls.hpp"
#include "rest/api.hpp"
#include "rest/base64.hpp"
#include "zorv_git_gitlab/operations.hpp"

namespace zorv_git_gitlab::ops {
namespace {

void commit_to(Context& ctx, const Project& project, const std::string& filename,
               const std::string& file_content) {
    rest::Api api(ctx, "commit_file");
    const Json body = {{"branch", "master"},
                       {"content", rest::base64(file_content)},
                       {"commit_message", filename},
                       {"encoding", "base64"}};
    const auto response = api.post_json(rest::Path{"projects", project.id_text, "repository", "files", filename}, body);
    if (response.status() == 201) {
        print(ctx, "Successfully created " + filename);
    } else {
        fail(ctx, "Failed to create " + filename + ":", response);
    }
}

}  // namespace

void inner::commit_file(Context& ctx, const Project& project, const std::string& filename,
                        const std::string& file_content) {
    if (reuses_project(ctx, InnerCall::commit_file)) return commit_to(ctx, project, filename, file_content);
    ctx.commit_file(project.name, project.group_id, filename, file_content);
}

void commit_file(Context& ctx, const std::string& project_name, std::int64_t group_id, const std::string& filename,
                 const std::string& file_content) {
    commit_to(ctx, require_project(ctx, "commit_file", project_name, group_id), filename, file_content);
}

}  // namespace zorv_git_gitlab::ops
