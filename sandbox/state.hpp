// The sandbox's state and the records built from it. Records are kept as GitLab's JSON
// representation (field names, types and order as GitLab sends them); the few things GitLab never
// shows live beside them in the entries. Functions taking a State run with the state locked
// (inside Sandbox::read() or write()).
#pragma once

#include "http.hpp"

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace zorv_sandbox {

class Sandbox;

// The default branch of new projects: Gitlab::DefaultBranch.value (lib/gitlab/default_branch.rb)
// gives "main" unless an instance or group setting names another.
inline constexpr const char* kDefaultBranch = "main";

struct UserEntry {
    Json record;  // id, username, name, state, locked, avatar_url, web_url, created_at, bot, ...
    bool admin = false;
    std::int64_t namespace_id = 0;  // the user's personal namespace (projects without a group)
};

struct TokenEntry {
    Json record;         // id, name, revoked, created_at, description, scopes, user_id,
                         // last_used_at, active, expires_at (+ access_level for group tokens)
    std::string secret;  // the token text itself, shown once on creation
    std::optional<std::int64_t> group_id;  // set for group access tokens
};

struct ProjectEntry {
    Json record;  // the project record as GET /projects/:id shows it
    // False for a project seeded in bulk: its bare repository is made when a route first resolves
    // the project (Sandbox::resolve_project).
    bool repository_made = true;
    std::int64_t next_issue_iid = 1;
    std::int64_t next_pipeline_iid = 1;
    std::int64_t next_merge_request_iid = 1;
};

// The mergeability check as it runs in the background on a real server: when it began and the
// branch heads it looked at.
struct MergeCheck {
    std::chrono::steady_clock::time_point started;
    std::string source_sha, target_sha;
    bool operator==(const MergeCheck&) const = default;
};

struct MergeRequestEntry {
    Json record;  // has project_id, iid; merge_status as the check left it
    // Not saved: a restarted sandbox starts the checks again and holds nothing.
    std::optional<MergeCheck> check;
    std::optional<std::string> held_status;  // shown instead of merge_status (control route)
};

struct State {
    std::int64_t next_user_id = 1;
    std::int64_t next_token_id = 1;
    std::int64_t next_namespace_id = 1;  // groups and users' personal namespaces share ids
    std::int64_t next_project_id = 1;
    std::int64_t next_pipeline_id = 1;
    std::int64_t next_issue_id = 1;
    std::int64_t next_note_id = 1;
    std::int64_t next_merge_request_id = 1;
    std::int64_t next_group_link_id = 1;

    std::map<std::int64_t, UserEntry> users;
    std::map<std::int64_t, TokenEntry> tokens;
    std::unordered_map<std::string, std::int64_t> token_ids;  // secret -> token id
    std::map<std::int64_t, Json> groups;                       // id -> group record
    std::map<std::int64_t, ProjectEntry> projects;
    std::map<std::int64_t, std::map<std::string, Json>> project_variables;  // project id -> key -> record
    std::map<std::int64_t, std::map<std::string, Json>> group_variables;    // group id -> key -> record
    std::map<std::int64_t, Json> pipelines;  // id -> record (has project_id)
    std::map<std::int64_t, Json> issues;     // id -> record (has project_id, iid)
    std::map<std::int64_t, Json> notes;      // id -> record (has noteable_id)
    std::map<std::int64_t, MergeRequestEntry> merge_requests;
    // Direct memberships: group id -> user id -> access level (10..50). A group's creator is its
    // Owner; a group access token's bot is a member with the token's level. Levels are inherited
    // by subgroups.
    std::map<std::int64_t, std::map<std::int64_t, int>> group_members;
    // Projects shared with groups (POST /projects/:id/share): link id -> the ProjectGroupLink record
    // (id, project_id, group_id, group_access, expires_at).
    std::map<std::int64_t, Json> project_group_links;
    // Derived, not saved: the ids of the projects in each namespace, so that a group's projects are
    // found without walking every project of the instance (add_project_entry, erase_project).
    std::unordered_map<std::int64_t, std::set<std::int64_t>> namespace_projects;
};

// ---------------------------------------------------------------------------------------------
// Users and tokens (factories.cpp, auth.cpp)

struct NewUser {
    std::string username;
    std::string name;
    bool admin = false;
    bool bot = false;  // a group access token's bot: its record has the basic fields only
};
// Adds a user with a personal namespace of its own to `s`; its id.
std::int64_t add_user(State& s, const std::string& base_url, const NewUser& user);

// What makes a minted token a group access token: its group, and its level there.
struct GroupTokenOf {
    std::int64_t group_id = 0;
    std::int64_t access_level = 0;
};
struct NewToken {
    std::string name;
    Json description = nullptr;  // text or null
    Json scopes = Json::array();
    std::int64_t user_id = 0;    // the owner; for a group access token its bot user
    Json expires_at = nullptr;   // "YYYY-MM-DD" or null
    std::optional<GroupTokenOf> group{};
    std::string secret{};        // empty: a new random "glpat-..."
};
// Adds the token to `s`; its record in GitLab's field order, with the secret as "token".
Json mint_token(State& s, const NewToken& token);
// A pipeline as GET /projects/:id/pipelines/:pipeline_id shows it: the record with its
// detailed_status made from its status.
Json present_pipeline(const Json& pipeline);

// PersonalAccessToken#active? (app/models/personal_access_token.rb), for personal and group access
// tokens alike: neither revoked nor expired. A token expires at the start of its expiry date (UTC).
bool token_active(const Json& record);
// A token's record as the API shows it: `active` as of now, never the secret.
Json present_token(const Json& record);

// The scopes of `all` this instance offers: Gitlab::Auth.registry_scopes (lib/gitlab/auth.rb) are
// empty on an instance without a container registry, so read_registry and write_registry go.
Json instance_scopes(const Sandbox& sandbox, const Json& all);
// Token parameters as GitLab checks them: `scopes` among `allowed`, `expires_at` (default a year).
Json checked_scopes(const Json& params, const Json& allowed);
std::string checked_expiry(const Json& params);

// Who made the request (from its token).
struct Caller {
    std::int64_t user_id = 0;
    std::int64_t token_id = 0;
    bool admin = false;
    std::optional<std::int64_t> group_id;  // set when a group access token was used
    Json scopes = Json::array();
};

// Throws GitLab's 403 insufficient_scope answer unless the caller's token holds a scope that admits
// `method` on the API path `raw_path`.
void check_scopes(const Caller& caller, std::string_view method, std::string_view raw_path);

// ---------------------------------------------------------------------------------------------
// Projects, groups and namespaces (records.cpp)

// A project as a route needs it: a copy of the record, and where its bare repository lives.
struct ProjectRef {
    std::int64_t id = 0;
    Json record;
    std::filesystem::path repository;
};

// A string field of a record; "" when absent or not a string.
std::string str_field(const Json& record, const char* key);

// Visibility levels in GitLab's order: private < internal < public; -1 for an unknown word.
int visibility_level(std::string_view visibility);

// A group by numeric id or (case-insensitive) full path; nullptr when there is none.
const Json* find_group(const State& state, std::string_view id_or_path);
Json* find_group(State& state, std::string_view id_or_path);

// The "namespace" object of a project record (a group or a user's personal namespace);
// null when the namespace does not exist.
Json namespace_object(const State& state, std::int64_t namespace_id, const std::string& base_url);

// A project record as GitLab shows it: the full Project entity, or BasicProjectDetails for
// `simple` answers. Dynamic fields (empty_repo, open_issues_count) are filled in here.
Json present_project(const Sandbox& sandbox, const State& state, const ProjectEntry& project, bool simple);

// Adds a project record to the state under its id, and to its namespace's index.
ProjectEntry& add_project_entry(State& state, Json record);
// The ids of a namespace's projects (empty when it has none).
const std::set<std::int64_t>& projects_in(const State& state, std::int64_t namespace_id);
// A group and all its descendants' ids, the group first.
std::vector<std::int64_t> group_subtree(const State& state, std::int64_t root);

// Removes a project and everything that belongs to it from the state; returns its repository.
std::filesystem::path erase_project(const Sandbox& sandbox, State& state, std::int64_t project_id);

// An empty bare repository on `default_branch` at `repository` (a leftover there is removed first),
// open to pushes over HTTPS; std::runtime_error when git fails (repositories.cpp).
void make_bare_repository(const std::filesystem::path& repository, const std::string& default_branch);

// Rewrites the fields of a project record that follow from its name, path and namespace (after a
// rename of the project or of a group above it).
void relocate_project(const Sandbox& sandbox, const State& state, Json& record, const std::string& name,
                      const std::string& path);

// GitLab 18's delayed deletion (Namespaces::MarkForDeletionBaseService#suffixed_identifier):
// "<name or path>-deletion_scheduled-<id>".
std::string deletion_scheduled(const std::string& identifier, std::int64_t id);

// ---------------------------------------------------------------------------------------------
// Search (records.cpp)

// GitLab's search of records: `search` case-insensitively within any of `fields`, as a substring
// (Gitlab::SQL::Pattern, lib/gitlab/sql/pattern.rb). An empty search matches everything.
struct SearchRule {
    // A shorter search must equal a field whole (MIN_CHARS_FOR_PARTIAL_MATCHING, for projects).
    std::size_t min_partial = 0;
    // Branch and tag names: "^x" matches a prefix, "x$" a suffix (app/finders/git_refs_finder.rb).
    bool anchors = false;
};
bool matches_search(std::string_view search, std::initializer_list<std::string_view> fields, SearchRule rule = {});

}  // namespace zorv_sandbox
