// What the repository routes share: the JSON records GitLab shows for commits, branches and tags,
// the project's default branch, and the author of the changes a caller makes.
#pragma once

#include "repository/git_repo.hpp"
#include "routes.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace zorv_sandbox::repository {

// -- records, with GitLab's field names and order

Json commit_record(const repo::CommitInfo& commit, const ProjectRef& project);
// CommitDetail: the commit plus stats, status, project_id and last_pipeline.
Json commit_detail(const repo::GitRepo& git, const repo::CommitInfo& commit, const ProjectRef& project,
                   const Json& last_pipeline);
Json branch_record(const std::string& name, const repo::CommitInfo& commit, bool merged, const ProjectRef& project);
Json tag_record(const repo::TagInfo& tag, const std::optional<repo::CommitInfo>& commit, const ProjectRef& project);

// The branch GitLab treats as the project's default.
std::string default_branch(const ProjectRef& project);

// The author of changes made by the caller: the user's name and e-mail address.
repo::Identity caller_identity(Context& ctx);

// Text from git as valid UTF-8 (anything else is replaced by U+FFFD), so that JSON can carry it.
std::string utf8_clean(std::string_view text);

}  // namespace zorv_sandbox::repository
