// The route files. Each has its handlers, named, in an anonymous namespace and ends with one
// registration function listing its `sb.route(METHOD, PATH, handler)` lines; main.cpp calls them
// in this order (see docs/sandbox.md, "Adding a route").
#pragma once

#include "server.hpp"

namespace zorv_sandbox {

void register_control_routes(Sandbox& sb);   // control_routes.cpp: /-/sandbox/...
void register_user_routes(Sandbox& sb);      // user_routes.cpp: users, personal access tokens
void register_group_routes(Sandbox& sb);     // group_routes.cpp: groups, members, group access tokens
void register_project_routes(Sandbox& sb);   // project_routes.cpp: projects
void register_ci_routes(Sandbox& sb);        // ci_routes.cpp: variables, pipelines
void register_issue_routes(Sandbox& sb);     // issue_routes.cpp: issues, notes
void register_rate_limit_routes(Sandbox& sb);  // rate_limit_routes.cpp: application settings, /-/sandbox/rate-limits
namespace repository {                       // repository/: git-backed routes
void register_branch_routes(Sandbox& sb);         // branches.cpp
void register_commit_routes(Sandbox& sb);         // commits.cpp: commits and files
void register_tag_routes(Sandbox& sb);            // tags.cpp
void register_merge_request_routes(Sandbox& sb);  // merge_requests.cpp
void register_git_http_routes(Sandbox& sb);       // git_http.cpp: git over HTTPS (catch-all, last)
}  // namespace repository

}  // namespace zorv_sandbox
