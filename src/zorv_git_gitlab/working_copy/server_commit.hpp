// The commit the server made from a commits-API request, written into the working copy from the
// server's answer, so that the fetch after it finds every object already present and transfers none.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "working_copy/git_runner.hpp"
#include "zorv_git_gitlab/json.hpp"

namespace zorv_git_gitlab::working_copy {

// "2024-05-01T12:00:00.000+02:00" (or "...Z") as git's "<seconds since the epoch> <+hhmm>"; no value
// for text in another form.
std::optional<std::string> git_date(std::string_view iso);

// The text of a commit object: tree, parents, author, committer, a blank line and the message.
std::string commit_object(const std::string& tree, const Json& answer, std::string_view message);

// Writes the server's commit into the object store when the answer describes exactly `tree` on top of
// `parent` (its id, recomputed, equals the answer's "id") and returns true; false, writing nothing,
// when it does not (another parent, a date or message git would store differently, a signature).
bool adopt_server_commit(const GitRunner& git, const Json& answer, const std::string& tree,
                         const std::string& parent);

}  // namespace zorv_git_gitlab::working_copy
