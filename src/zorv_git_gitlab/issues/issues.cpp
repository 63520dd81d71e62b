// Issues and their notes. Their fields travel in the query string, with an empty body.
#include "projects/project.hpp"
#include "output.hpp"
#include "rest/api.hpp"
#include "zorv_git_gitlab/operations.hpp"

namespace zorv_git_gitlab::ops {

std::optional<Json> create_issue(Context& ctx, const std::string& project_name, std::int64_t group_id,
                                 const std::string& title, const std::string& issue_type,
                                 const std::vector<std::string>& labels) {
    rest::Api api(ctx, "create_issue");
    const auto project = require_project(ctx, api.operation(), project_name, group_id);
    std::string joined;
    for (std::size_t i = 0; i < labels.size(); ++i) joined += (i ? "," : "") + labels[i];
    const auto response = api.post_query(rest::Path{"projects", project.id_text, "issues"},
                                         {{"title", title}, {"issue_type", issue_type}, {"labels", joined}});
    if (response.status() == 201) return response.json();
    fail(ctx, "Failed to create issue " + project_name + ". Response:", response);
    return std::nullopt;
}

std::optional<Json> close_issue(Context& ctx, const std::string& project_name, std::int64_t group_id,
                                std::int64_t issue_id) {
    rest::Api api(ctx, "close_issue");
    const auto project = require_project(ctx, api.operation(), project_name, group_id);
    const auto iid = std::to_string(issue_id);
    const auto response = api.put_query(rest::Path{"projects", project.id_text, "issues", iid}, {{"state_event", "close"}});
    if (response.status() == 200) return response.json();
    fail(ctx, "Failed to close issue " + project_name + "/" + iid + ". Response:", response);
    return std::nullopt;
}

std::optional<Json> create_note(Context& ctx, const std::string& project_name, std::int64_t group_id,
                                std::int64_t issue_id, const std::string& note_body) {
    rest::Api api(ctx, "create_note");
    const auto project = require_project(ctx, api.operation(), project_name, group_id);
    const auto response = api.post_query(
        rest::Path{"projects", project.id_text, "issues", std::to_string(issue_id), "notes"}, {{"body", note_body}});
    if (response.status() == 201) return response.json();
    fail(ctx, "Failed to create note " + project_name + ". Response:", response);
    return std::nullopt;
}

}  // namespace zorv_git_gitlab::ops
