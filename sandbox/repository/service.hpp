// What the repository routes share: per-repository write locks, the merge-request check
// bookkeeping that is not part of the saved state, and the JSON records GitLab shows for
// commits, branches and tags.
#pragma once

#include "repository/git_repo.hpp"
#include "server.hpp"

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace zorv_sandbox::repository {

// The merge-request check as it runs in the background on a real server: when it began and the
// branch heads it looked at.
struct MergeCheck {
    std::chrono::steady_clock::time_point started;
    std::string source_sha, target_sha;
};

class Service {
public:
    explicit Service(Sandbox& sandbox) : sandbox_(sandbox) {}
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    [[nodiscard]] Sandbox& sandbox() const noexcept { return sandbox_; }

    // Writers of one repository take this lock, so API commits, branch changes and merges are
    // serialized; ref updates are compare-and-swap on top (a push through git may race them).
    std::shared_ptr<std::mutex> lock_for(const std::filesystem::path& repository);

    // Merge-request states held by the control route (merge request id -> merge_status).
    void hold_status(std::int64_t mr_id, std::optional<std::string> status);
    [[nodiscard]] std::optional<std::string> held_status(std::int64_t mr_id) const;

    [[nodiscard]] std::optional<MergeCheck> check(std::int64_t mr_id) const;
    void set_check(std::int64_t mr_id, std::optional<MergeCheck> check);

private:
    Sandbox& sandbox_;
    mutable std::mutex mutex_;
    std::map<std::filesystem::path, std::shared_ptr<std::mutex>> locks_;
    std::map<std::int64_t, std::string> held_;
    std::map<std::int64_t, MergeCheck> checks_;
};

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

// GitLab's name search for branches and tags: "^x" a prefix, "x$" a suffix, else a substring;
// case-insensitive. An empty search matches everything.
bool matches_search(const std::string& name, const std::string& search);

// Reads a string field of a record; "" when absent or not a string.
std::string str_field(const Json& record, const char* key);

// Route groups (one file each), registered by register_repository_routes().
void register_branch_routes(const std::shared_ptr<Service>& service);
void register_commit_routes(const std::shared_ptr<Service>& service);  // commits and files
void register_tag_routes(const std::shared_ptr<Service>& service);
void register_merge_request_routes(const std::shared_ptr<Service>& service);
void register_git_http_routes(const std::shared_ptr<Service>& service);

}  // namespace zorv_sandbox::repository
