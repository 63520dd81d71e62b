// Building GitLab's records from the sandbox's state, shared by the route files of the core.
#pragma once

#include "server.hpp"

namespace zorv_sandbox {

// Visibility levels in GitLab's order: private < internal < public; -1 for an unknown word.
int visibility_level(std::string_view visibility);

// Digits only (and not too long for an int64): the number; else nullopt.
std::optional<std::int64_t> numeric_id(std::string_view text);

// A group by numeric id or (case-insensitive) full path; nullptr when there is none.
const Json* find_group(const State& state, std::string_view id_or_path);
Json* find_group(State& state, std::string_view id_or_path);

// The "namespace" object of a project record (a group or a user's personal namespace);
// null when the namespace does not exist.
Json namespace_object(const State& state, std::int64_t namespace_id, const std::string& base_url);

// A project record as GitLab shows it: the full Project entity, or BasicProjectDetails for
// `simple` answers. Dynamic fields (empty_repo, open_issues_count) are filled in here.
Json present_project(const Sandbox& sandbox, const State& state, const ProjectEntry& project, bool simple);

// Removes a project and everything that belongs to it from the state; returns its repository.
std::filesystem::path erase_project(const Sandbox& sandbox, State& state, std::int64_t project_id);

// Rewrites the fields of a project record that follow from its name, path and namespace (after a
// rename of the project or of a group above it).
void relocate_project(const Sandbox& sandbox, const State& state, Json& record, const std::string& name,
                      const std::string& path);

// GitLab 18's delayed deletion (Namespaces::MarkForDeletionBaseService#suffixed_identifier):
// "<name or path>-deletion_scheduled-<id>".
std::string deletion_scheduled(const std::string& identifier, std::int64_t id);

// The scopes of `all` this instance offers: Gitlab::Auth.registry_scopes (lib/gitlab/auth.rb) are
// empty on an instance without a container registry, so read_registry and write_registry go.
Json instance_scopes(const Sandbox& sandbox, const Json& all);

// Token parameters as GitLab checks them.
Json checked_scopes(const Json& params, const Json& allowed);
std::string checked_expiry(const Json& params);

// Lower-case copy (ASCII).
std::string lower_ascii(std::string_view text);

}  // namespace zorv_sandbox
