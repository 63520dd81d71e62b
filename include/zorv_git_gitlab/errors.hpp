// The library's error types. Every message names what failed (operation, project, request) and never
// contains an access token.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "zorv_git_gitlab/export.hpp"

namespace zorv_git_gitlab {

// Base of every error the library raises.
class ZORV_GIT_GITLAB_API Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The request did not complete: no connection, TLS refused, too slow, connection dropped, answer too large.
class ZORV_GIT_GITLAB_API TransportError : public Error {
public:
    using Error::Error;
};
class ZORV_GIT_GITLAB_API ConnectError : public TransportError {  // name resolution or connection refused
public:
    using TransportError::TransportError;
};
class ZORV_GIT_GITLAB_API TlsError : public TransportError {  // certificate or handshake failure
public:
    using TransportError::TransportError;
};
class ZORV_GIT_GITLAB_API TimeoutError : public TransportError {  // connect or stall limit reached
public:
    using TransportError::TransportError;
};
class ZORV_GIT_GITLAB_API ConnectionDroppedError : public TransportError {  // the server closed the connection mid-answer
public:
    using TransportError::TransportError;
};
class ZORV_GIT_GITLAB_API ResponseTooLargeError : public TransportError {  // the answer exceeded the configured size limit
public:
    using TransportError::TransportError;
};
// GitLab answered 429 Too Many Requests to every try the retry budget allowed (or asked to wait longer
// than what was left of it). The request was refused before GitLab acted on it: nothing was done, and
// the same call may be made again later.
class ZORV_GIT_GITLAB_API RateLimitedError : public TransportError {
public:
    RateLimitedError(const std::string& message, std::optional<std::int64_t> retry_after, std::string limit_name)
        : TransportError(message), retry_after_(retry_after), limit_name_(std::move(limit_name)) {}
    // The seconds GitLab asked to wait (Retry-After), when it said.
    [[nodiscard]] std::optional<std::int64_t> retry_after() const noexcept { return retry_after_; }
    // The throttle that refused it (RateLimit-Name, such as throttle_authenticated_api); "" when not given.
    [[nodiscard]] const std::string& limit_name() const noexcept { return limit_name_; }

private:
    std::optional<std::int64_t> retry_after_;
    std::string limit_name_;
};

// A success answer whose body is not the JSON the operation needs.
class ZORV_GIT_GITLAB_API JsonDecodeError : public Error {
public:
    using Error::Error;
};

// A server record without a field the operation reads.
class ZORV_GIT_GITLAB_API MissingFieldError : public Error {
public:
    MissingFieldError(const std::string& operation, const std::string& field)
        : Error(operation + ": the server's answer has no field \"" + field + "\""), field_(field) {}
    [[nodiscard]] const std::string& field() const noexcept { return field_; }

private:
    std::string field_;
};

// The project lookup found no project of that name in that group.
class ZORV_GIT_GITLAB_API ProjectNotFoundError : public Error {
public:
    ProjectNotFoundError(const std::string& operation, const std::string& project_name, const std::string& group)
        : Error(operation + ": project " + project_name + " not found in group " + group),
          project_name_(project_name) {}
    [[nodiscard]] const std::string& project_name() const noexcept { return project_name_; }

private:
    std::string project_name_;
};

// get_sub_group_id asked to raise for a missing subgroup.
class ZORV_GIT_GITLAB_API SubgroupNotFoundError : public Error {
public:
    using Error::Error;
};

// A git command failed; the message carries the command (without credentials) and git's own message.
class ZORV_GIT_GITLAB_API GitError : public Error {
public:
    GitError(const std::string& message, int exit_code) : Error(message), exit_code_(exit_code) {}
    [[nodiscard]] int exit_code() const noexcept { return exit_code_; }

private:
    int exit_code_;
};

// A working-copy change that cannot be published (for instance a symbolic link).
class ZORV_GIT_GITLAB_API UnpublishableChangeError : public Error {
public:
    using Error::Error;
};

// clone_project was given a non-empty directory and may not clear it.
class ZORV_GIT_GITLAB_API DirectoryNotEmptyError : public Error {
public:
    using Error::Error;
};

// perform_merge ran out of time while the server was still checking the merge request.
class ZORV_GIT_GITLAB_API MergeTimeoutError : public Error {
public:
    using Error::Error;
};

}  // namespace zorv_git_gitlab
