// GitlabGit: automates a GitLab server through its REST API (v4) and drives local git working copies
// of its projects. Every operation is a class-level function; no instance is ever created. Each runs
// the function of the same name of operations.hpp (where the operations and their conventions are
// described) with the default context, which reads the class attributes at the moment of each call.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zorv_git/git.hpp"
#include "zorv_git_gitlab/attribute.hpp"
#include "zorv_git_gitlab/context.hpp"
#include "zorv_git_gitlab/errors.hpp"
#include "zorv_git_gitlab/export.hpp"
#include "zorv_git_gitlab/id.hpp"
#include "zorv_git_gitlab/json.hpp"
#include "zorv_git_gitlab/operations.hpp"

namespace zorv_git_gitlab {

class ZORV_GIT_GITLAB_API GitlabGit : public zorv_git::Git {
public:
    GitlabGit() = delete;

    // The pipeline states that end a pipeline: success, failed, canceled, skipped.
    static const std::vector<std::string> PIPELINE_END_STATUS;
    // "https://" + GITLAB_HOST (the text None when unset, inserted unchanged) + "/api/v4/", computed on
    // first use; may be assigned.
    static Attribute<std::string> api_url;
    // GITLAB_TOKEN, or no value when unset (requests then go out without PRIVATE-TOKEN); may be assigned.
    // Until it is, git's token (clone_project, commit_project) is GITLAB_TOKEN as it is at each call,
    // while GITLAB_HOST names the server of api_url (Context::clone_token).
    static Attribute<std::optional<std::string>> gitlab_token;
    // Time limits, retries and the merge poll interval of the default context; may be assigned.
    static Attribute<Settings> settings;

    // The context the class-level operations run with.
    static Context& default_context();
    // Receives the library's log records (perform_merge's INFO records). Without a handler, records
    // below WARNING are dropped and the others go to standard error. An empty function restores that.
    static void set_log_handler(LogHandler handler);

    // Every operation of the table, each calling the function of the same name of operations.hpp
    // with the default context (generated from the table at build time).
#include "zorv_git_gitlab/gitlab_git_operations.inc"
};

}  // namespace zorv_git_gitlab
